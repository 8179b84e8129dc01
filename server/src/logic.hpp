// Pure logic of oramet-timed: everything that does not need the event loop,
// kept here so the unit tests can exercise it directly.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <sys/socket.h>

namespace oramet {

// The client reads the reply with a single recv() of at most this many bytes.
constexpr std::size_t kClientReceiveLimit = 1023;
// Upper bound for the banner body (link, tab, text in code page 936). The
// response headers take at most about 130 bytes, so a banner of this size
// still fits into one client receive with room to spare.
constexpr std::size_t kMaxBannerBytes = 850;

// ---------------------------------------------------------------- versions

// A client version such as "2.07": a non-negative decimal number. Versions
// compare by value, so 2.07 < 2.1 == 2.10 < 2.5 < 10.0.
struct Version {
    std::uint64_t whole = 0;
    std::uint64_t fraction = 0;  // fractional digits scaled to 9 places
    friend bool operator<(const Version &a, const Version &b) {
        return a.whole != b.whole ? a.whole < b.whole : a.fraction < b.fraction;
    }
    friend bool operator==(const Version &a, const Version &b) {
        return a.whole == b.whole && a.fraction == b.fraction;
    }
};

// Accepts 1 to 9 digits, optionally followed by '.' and 1 to 9 digits.
std::optional<Version> parse_version(std::string_view text);

// Value of the first `key=value` pair of an URL query ("a=1&v=2.07"), or
// nothing when the key is absent. No percent-decoding: the client never
// encodes anything.
std::optional<std::string_view> query_param(std::string_view query, std::string_view key);

// --------------------------------------------------------------- requests

enum class Route { Time, Banner, NotFound };

// `target` is the request target as sent ("/?v=2.07"). GET and HEAD (the
// same answer without its body) count; any other method is not found.
Route route_request(std::string_view method, std::string_view target);

struct TimeQuery {
    bool malformed = false;      // no usable "v=" in the query
    bool needs_upgrade = false;  // below the configured minimum version
};

// `query` is the part after '?'. With no minimum configured nobody needs an
// upgrade; with one, a missing or malformed version counts as the oldest.
TimeQuery classify_time_query(std::string_view query, const std::optional<Version> &minimum);

// Unix time in seconds directly followed by exactly three digits of
// milliseconds (rounded to the nearest millisecond), e.g. "1733550000123".
// Writes no terminator; returns the length. `out` needs 32 bytes.
std::size_t format_time_body(const struct timespec &ts, char *out);
std::string format_time_body(const struct timespec &ts);

// ------------------------------------------------------ answered directly

// Name the server gives itself in every reply.
constexpr std::string_view kServerName = "oramet-timed";

// A request that needs no HTTP machinery: exactly one complete GET or HEAD
// in HTTP/1.1, nothing after it, and only headers that change nothing about
// the answer (Host, User-Agent, Accept*, Cache-Control, Pragma, Connection
// close or keep-alive), with plain values. What a client such as Oramet
// sends; anything else is left to H2O.
struct SimpleRequest {
    std::string_view method;
    std::string_view target;
};
bool parse_simple_request(std::string_view raw, SimpleRequest &out);

// "Mon, 07 Dec 2026 18:31:37 GMT" (29 bytes, no terminator) for Unix time
// `t`; `out` needs 32 bytes.
std::size_t format_http_date(std::time_t t, char *out);

// The head of a reply as H2O writes ours, byte for byte. `out` needs
// kMaxReplyHead bytes; returns the length.
constexpr std::size_t kMaxReplyHead = 256;
std::size_t format_reply_head(char *out, int status, std::string_view reason, std::string_view date,
                              std::size_t content_length, bool no_store);

// ----------------------------------------------------------------- banner

// Builds "link<TAB>text" in code page 936 from UTF-8 input. Fails on invalid
// UTF-8, characters code page 936 cannot represent, a tab/CR/LF/NUL in the
// link, NUL in the text, or a result longer than `max_bytes`.
bool build_banner(std::string_view link_utf8, std::string_view text_utf8, std::string &out,
                  std::string &error, std::size_t max_bytes = kMaxBannerBytes);

// ------------------------------------------------------------ abuse table

// Client addresses as table keys: IPv4 as IPv4-mapped IPv6, IPv6 cut to its
// /64 prefix (one subscriber usually owns a whole /64).
using AddrKey = std::array<std::uint8_t, 16>;
AddrKey make_addr_key(const struct sockaddr *sa);

struct AddrKeyHash {
    std::size_t operator()(const AddrKey &k) const noexcept;
};

// Counts offences (malformed or abusive requests) per client address over
// the last 24 hours in one-hour steps. Holds at most `capacity` addresses;
// when full, the address that offended least recently among those not
// blocked is forgotten. Blocked addresses stay until enough of their
// offences have aged out; while every remembered address is blocked, a new
// offender is not remembered. Thread-safe.
class AbuseTable {
public:
    AbuseTable(std::size_t capacity, unsigned limit);

    // Records one offence at `now` (Unix seconds); returns the new count.
    unsigned record(const AddrKey &key, std::int64_t now);
    // Offences of `key` within the 24 hours before `now`.
    unsigned count(const AddrKey &key, std::int64_t now) const;
    // True once the count has passed the limit (never when the limit is 0).
    bool blocked(const AddrKey &key, std::int64_t now) const;
    // New limits from a reload; keeps what the table knows. A smaller
    // capacity forgets addresses as eviction would, blocked ones last.
    void set_limits(std::size_t capacity, unsigned limit, std::int64_t now);

    std::size_t size() const;
    std::size_t capacity() const;
    unsigned limit() const;

private:
    static constexpr int kHours = 24;
    struct Entry {
        AddrKey key;
        std::int64_t last_hour = 0;
        std::array<std::uint16_t, kHours> per_hour{};
        bool blocked = false;  // which list holds it
    };
    static unsigned sum_within(const Entry &e, std::int64_t hour);
    bool over_limit(const Entry &e, std::int64_t hour) const;
    bool make_room(std::int64_t hour);

    std::size_t capacity_;
    unsigned limit_;
    mutable std::mutex mutex_;
    std::atomic<std::size_t> nblocked_{0};  // blocked_.size(), readable without the lock
    std::list<Entry> open_;     // not blocked, most recent offender first
    std::list<Entry> blocked_;  // blocked, most recent offender first
    std::unordered_map<AddrKey, std::list<Entry>::iterator, AddrKeyHash> index_;
};

// ------------------------------------------------------ connection budget

// Open connections of the whole server, shared by all workers, and per
// client address (IPv6 by /64, as the offence table counts them).
// Thread-safe.
class ConnectionBudget {
public:
    ConnectionBudget(unsigned total, unsigned per_address);

    // Takes one of the server's slots; false when all are in use.
    bool take_slot();
    // Gives a slot back, and the connection's count against `address` when
    // given. True when a take_slot() failed since the last such report and
    // there is room again: listeners that stopped may resume.
    bool give_slot(const AddrKey *address = nullptr);
    // Counts a connection against its address; false when the address
    // already holds its share (0 = no per-address cap).
    bool take_address(const AddrKey &key);
    // New limits from a reload. Connections already open stay open; same
    // result as give_slot().
    bool set_limits(unsigned total, unsigned per_address);

    unsigned open() const;
    std::size_t addresses() const;

private:
    void release_address(const AddrKey &key);  // with the lock held

    mutable std::mutex mutex_;
    unsigned total_;
    unsigned per_address_;
    unsigned open_ = 0;
    bool refused_ = false;  // a take_slot() failed and nobody was told of room since
    std::unordered_map<AddrKey, unsigned, AddrKeyHash> by_address_;
};

// Descriptors the server needs with `max_connections` open: one per
// connection, plus its own (standard streams, per worker a listener, an
// event loop and a wake-up pipe, and some to spare).
std::uint64_t descriptors_needed(unsigned max_connections, unsigned workers);

// ------------------------------------------------------------ clock state

// Whether the kernel considers the system clock synchronised, from what
// adjtimex(2) returned (its clock state, or -1 when the call failed) and the
// status bits it filled in.
bool clock_is_synced(int adjtimex_result, long status);

// ----------------------------------------------------------------- config

struct Config {
    std::string listen = "127.0.0.1:80";
    unsigned workers = 0;  // 0: one per CPU core
    unsigned max_connections = 1024;
    unsigned max_connections_per_address = 16;  // 0: no cap
    unsigned idle_timeout_ms = 2000;   // connected but nothing sent yet
    unsigned read_timeout_ms = 10000;  // whole request must arrive within this
    unsigned shutdown_grace_ms = 3000;
    std::size_t max_request_bytes = 2048;

    bool maintenance = false;
    bool require_synced_clock = false;  // answer "~" while the kernel says unsynchronised
    std::string min_version;    // empty: no minimum
    std::string download_path;  // sent after '#' to clients below the minimum

    unsigned abuse_limit = 0;  // 0: off
    std::size_t abuse_table_size = 65536;

    std::string proxy_protocol_from;  // addresses allowed to send a PROXY line

    bool banner_set = false;
    std::string banner_link;  // UTF-8
    std::string banner_text;  // UTF-8

    std::string config_file;
};

// Upper bounds of options. max-connections with the server's own
// descriptors stays below the unit's LimitNOFILE=65536 even at 256 workers.
constexpr unsigned kMaxConnectionsLimit = 64000;
// About 160 bytes an address: 400,000 addresses take about 64 MB, which
// leaves most of the unit's MemoryMax=256M to the connections.
constexpr std::size_t kMaxAbuseTableSize = 400000;

// Applies one setting ("maintenance", "on"). Keys are the long option names
// without the leading dashes.
bool apply_setting(Config &cfg, std::string_view key, std::string_view value, std::string &error);

// Reads "key = value" lines; '#' starts a comment line; blank lines ignored.
bool parse_config_text(Config &cfg, std::string_view text, std::string &error);

enum class ArgsResult { Ok, Help, Error };
// Command line: --key=value or --key value; a bare switch (--maintenance)
// means "on". --config FILE is read first, options on the command line win.
ArgsResult parse_args(Config &cfg, const std::vector<std::string> &args, std::string &error);

// Cross-checks the settings; fills `minimum` from min_version.
bool validate_config(const Config &cfg, std::optional<Version> &minimum, std::string &error);

// Everything the handlers need, derived from a Config once (at start and
// at each reload) and never changed afterwards.
struct Settings {
    Config config;
    std::optional<Version> minimum;
    std::string banner;            // code page 936, ready to send
    std::vector<AddrKey> proxies;  // exact addresses (IPv4 as IPv4-mapped)
};

// Command line (and the config file it names) to Settings, cross-checked
// and with the banner converted. `args` excludes the program name.
ArgsResult load_settings(const std::vector<std::string> &args, Settings &out, std::string &error);

// "10.0.0.1, [2001:db8::1]" or "10.0.0.1 2001:db8::1": numeric addresses
// separated by commas or blanks; brackets around IPv6 are optional.
bool parse_address_list(std::string_view text, std::vector<AddrKey> &out, std::string &error);

// Exact address key (no /64 cut), for matching listed proxies.
AddrKey make_exact_addr_key(const struct sockaddr *sa);

// "1.2.3.4:80", "1.2.3.4" (port 80), "[::1]:8080", "[::1]". Numeric only.
bool parse_listen_address(std::string_view text, struct sockaddr_storage &out, socklen_t &len,
                          std::string &error);

const char *usage_text();

}  // namespace oramet
