// Pure logic of oramet-timed: everything that does not need the event loop,
// kept here so the unit tests can exercise it directly.
#pragma once

#include <array>
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

// `target` is the request target as sent ("/?v=2.07"). Only GET counts.
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
// when full, the address that offended least recently is forgotten.
// Thread-safe.
class AbuseTable {
public:
    AbuseTable(std::size_t capacity, unsigned limit);

    // Records one offence at `now` (Unix seconds); returns the new count.
    unsigned record(const AddrKey &key, std::int64_t now);
    // Offences of `key` within the 24 hours before `now`.
    unsigned count(const AddrKey &key, std::int64_t now) const;
    // True once the count has passed the limit (never when the limit is 0).
    bool blocked(const AddrKey &key, std::int64_t now) const;

    std::size_t size() const;
    std::size_t capacity() const { return capacity_; }
    unsigned limit() const { return limit_; }

private:
    static constexpr int kHours = 24;
    struct Entry {
        AddrKey key;
        std::int64_t last_hour = 0;
        std::array<std::uint16_t, kHours> per_hour{};
    };
    static unsigned sum_within(const Entry &e, std::int64_t hour);

    const std::size_t capacity_;
    const unsigned limit_;
    mutable std::mutex mutex_;
    std::list<Entry> lru_;  // most recent offender first
    std::unordered_map<AddrKey, std::list<Entry>::iterator, AddrKeyHash> index_;
};

// ----------------------------------------------------------------- config

struct Config {
    std::string listen = "127.0.0.1:80";
    unsigned workers = 0;  // 0: one per CPU core
    unsigned max_connections = 1024;
    unsigned idle_timeout_ms = 5000;   // connected but nothing sent yet
    unsigned read_timeout_ms = 10000;  // whole request must arrive within this
    unsigned shutdown_grace_ms = 3000;
    std::size_t max_request_bytes = 2048;

    bool maintenance = false;
    std::string min_version;    // empty: no minimum
    std::string download_path;  // sent after '#' to clients below the minimum

    unsigned abuse_limit = 0;  // 0: off
    std::size_t abuse_table_size = 65536;

    bool banner_set = false;
    std::string banner_link;  // UTF-8
    std::string banner_text;  // UTF-8

    std::string config_file;
};

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

// "1.2.3.4:80", "1.2.3.4" (port 80), "[::1]:8080", "[::1]". Numeric only.
bool parse_listen_address(std::string_view text, struct sockaddr_storage &out, socklen_t &len,
                          std::string &error);

const char *usage_text();

}  // namespace oramet
