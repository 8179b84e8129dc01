#include "logic.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

#include <arpa/inet.h>
#include <iconv.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/timex.h>

namespace oramet {

// ---------------------------------------------------------------- versions

namespace {

bool all_digits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::uint64_t to_u64(std::string_view digits) {
    std::uint64_t v = 0;
    for (char c : digits) v = v * 10 + static_cast<unsigned>(c - '0');
    return v;
}

}  // namespace

std::optional<Version> parse_version(std::string_view text) {
    std::string_view whole = text, frac;
    if (auto dot = text.find('.'); dot != std::string_view::npos) {
        whole = text.substr(0, dot);
        frac = text.substr(dot + 1);
        if (!all_digits(frac) || frac.size() > 9) return std::nullopt;
    }
    if (!all_digits(whole) || whole.size() > 9) return std::nullopt;
    Version v;
    v.whole = to_u64(whole);
    v.fraction = to_u64(frac);
    for (std::size_t i = frac.size(); i < 9; ++i) v.fraction *= 10;
    return v;
}

std::optional<std::string_view> query_param(std::string_view query, std::string_view key) {
    while (!query.empty()) {
        auto amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        auto eq = pair.find('=');
        if (pair.substr(0, eq) == key)
            return eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

// --------------------------------------------------------------- requests

Route route_request(std::string_view method, std::string_view target) {
    if (method != "GET" && method != "HEAD") return Route::NotFound;
    auto q = target.find('?');
    std::string_view path = target.substr(0, q);
    if (path == "/" && q != std::string_view::npos) return Route::Time;
    if (path == "/ad/") return Route::Banner;
    return Route::NotFound;
}

TimeQuery classify_time_query(std::string_view query, const std::optional<Version> &minimum) {
    TimeQuery r;
    std::optional<Version> v;
    if (auto text = query_param(query, "v")) v = parse_version(*text);
    r.malformed = !v.has_value();
    if (minimum) r.needs_upgrade = !v || *v < *minimum;
    return r;
}

std::size_t format_time_body(const struct timespec &ts, char *out) {
    long long sec = static_cast<long long>(ts.tv_sec);
    long ms = (ts.tv_nsec + 500000) / 1000000;  // nearest millisecond
    if (ms >= 1000) {
        ++sec;
        ms -= 1000;
    }
    if (sec < 0) sec = 0;  // a clock before 1970 is not worth representing
    auto res = std::to_chars(out, out + 24, sec);
    char *p = res.ptr;
    p[0] = static_cast<char>('0' + ms / 100);
    p[1] = static_cast<char>('0' + ms / 10 % 10);
    p[2] = static_cast<char>('0' + ms % 10);
    return static_cast<std::size_t>(p + 3 - out);
}

std::string format_time_body(const struct timespec &ts) {
    char buf[32];
    return std::string(buf, format_time_body(ts, buf));
}

// ------------------------------------------------------ answered directly

namespace {

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return true;
}

bool harmless_header(std::string_view name, std::string_view value) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    for (char c : value)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || static_cast<unsigned char>(c) >= 0x7f) return false;
    if (iequals(name, "connection")) return iequals(value, "close") || iequals(value, "keep-alive");
    for (std::string_view known : {"host", "user-agent", "accept", "accept-language", "accept-encoding",
                                   "cache-control", "pragma"})
        if (iequals(name, known)) return true;
    return false;
}

}  // namespace

bool parse_simple_request(std::string_view raw, SimpleRequest &out) {
    const std::size_t end = raw.find("\r\n\r\n");
    if (end == std::string_view::npos || end + 4 != raw.size()) return false;
    const std::size_t line_end = raw.find("\r\n");
    std::string_view line = raw.substr(0, line_end);
    std::string_view method;
    if (line.substr(0, 4) == "GET ")
        method = raw.substr(0, 3);
    else if (line.substr(0, 5) == "HEAD ")
        method = raw.substr(0, 4);
    else
        return false;
    line.remove_prefix(method.size() + 1);
    constexpr std::string_view kVersion = " HTTP/1.1";
    if (line.size() <= kVersion.size() || line.substr(line.size() - kVersion.size()) != kVersion) return false;
    std::string_view target = line.substr(0, line.size() - kVersion.size());
    if (target[0] != '/') return false;
    for (char c : target)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) return false;
    // Header lines, each with its CRLF.
    std::string_view rest = raw.substr(line_end + 2, end + 2 - (line_end + 2));
    while (!rest.empty()) {
        std::size_t eol = rest.find("\r\n");
        std::string_view header = rest.substr(0, eol);
        rest.remove_prefix(eol + 2);
        std::size_t colon = header.find(':');
        if (colon == std::string_view::npos || !harmless_header(header.substr(0, colon), header.substr(colon + 1)))
            return false;
    }
    out.method = method;
    out.target = target;
    return true;
}

std::size_t format_http_date(std::time_t t, char *out) {
    // Fixed English names whatever the locale, as HTTP wants them.
    static const char kDays[] = "SunMonTueWedThuFriSat";
    static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    struct tm tm;
    if (gmtime_r(&t, &tm) == nullptr) return 0;
    int n = std::snprintf(out, 32, "%.3s, %02d %.3s %d %02d:%02d:%02d GMT", kDays + 3 * tm.tm_wday, tm.tm_mday,
                          kMonths + 3 * tm.tm_mon, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), 31);
}

std::size_t format_reply_head(char *out, int status, std::string_view reason, std::string_view date,
                              std::size_t content_length, bool no_store) {
    int n = std::snprintf(out, kMaxReplyHead,
                          "HTTP/1.1 %d %.*s\r\nDate: %.*s\r\nConnection: close\r\nContent-Length: %zu\r\n"
                          "Server: %.*s\r\n%s\r\n",
                          status, static_cast<int>(reason.size()), reason.data(), static_cast<int>(date.size()),
                          date.data(), content_length, static_cast<int>(kServerName.size()), kServerName.data(),
                          no_store ? "Cache-Control: no-store\r\n" : "");
    return n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), kMaxReplyHead - 1);
}

// ----------------------------------------------------------------- banner

namespace {

bool to_cp936(std::string_view utf8, std::string &out, std::string &error) {
    iconv_t cd = iconv_open("CP936", "UTF-8");
    if (cd == (iconv_t)-1) cd = iconv_open("GBK", "UTF-8");
    if (cd == (iconv_t)-1) {
        error = "this system cannot convert UTF-8 to code page 936 (iconv)";
        return false;
    }
    std::string in(utf8);
    std::string buf(in.size() * 2 + 16, '\0');
    char *inp = in.data();
    size_t inleft = in.size();
    char *outp = buf.data();
    size_t outleft = buf.size();
    size_t rc = iconv(cd, &inp, &inleft, &outp, &outleft);
    int saved = errno;
    if (rc != (size_t)-1) rc = iconv(cd, nullptr, nullptr, &outp, &outleft);
    iconv_close(cd);
    if (rc == (size_t)-1) {
        std::size_t at = in.size() - inleft;
        if (saved == EILSEQ)
            error = "character at byte " + std::to_string(at) +
                    " is not valid UTF-8 or has no equivalent in code page 936";
        else if (saved == EINVAL)
            error = "incomplete UTF-8 sequence at the end";
        else
            error = std::string("conversion failed: ") + std::strerror(saved);
        return false;
    }
    if (rc != 0) {
        // glibc counts irreversible conversions; refuse them rather than
        // sending a character the client would show differently.
        error = "text contains characters without an exact equivalent in code page 936";
        return false;
    }
    out.assign(buf.data(), buf.size() - outleft);
    return true;
}

}  // namespace

bool build_banner(std::string_view link_utf8, std::string_view text_utf8, std::string &out,
                  std::string &error, std::size_t max_bytes) {
    if (link_utf8.find_first_of(std::string_view("\t\r\n\0", 4)) != std::string_view::npos) {
        error = "banner link must not contain tab, CR, LF or NUL";
        return false;
    }
    if (text_utf8.find('\0') != std::string_view::npos) {
        error = "banner text must not contain NUL";
        return false;
    }
    std::string link, text;
    if (!to_cp936(link_utf8, link, error)) {
        error = "banner link: " + error;
        return false;
    }
    if (!to_cp936(text_utf8, text, error)) {
        error = "banner text: " + error;
        return false;
    }
    std::string body = link + '\t' + text;
    if (body.size() > max_bytes) {
        error = "banner is " + std::to_string(body.size()) + " bytes in code page 936; at most " +
                std::to_string(max_bytes) + " fit into the client's single receive";
        return false;
    }
    out = std::move(body);
    return true;
}

// ------------------------------------------------------------ abuse table

AddrKey make_addr_key(const struct sockaddr *sa) {
    AddrKey k{};
    if (sa->sa_family == AF_INET) {
        auto *in = reinterpret_cast<const sockaddr_in *>(sa);
        k[10] = k[11] = 0xff;
        std::memcpy(&k[12], &in->sin_addr, 4);
    } else if (sa->sa_family == AF_INET6) {
        auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        std::memcpy(k.data(), &in6->sin6_addr, 16);
        static const std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(k.data(), mapped, 12) != 0) std::fill(k.begin() + 8, k.end(), 0);
    }
    return k;
}

std::size_t AddrKeyHash::operator()(const AddrKey &k) const noexcept {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (auto b : k) h = (h ^ b) * 1099511628211ull;
    return static_cast<std::size_t>(h);
}

AbuseTable::AbuseTable(std::size_t capacity, unsigned limit)
    : capacity_(std::max<std::size_t>(capacity, 1)), limit_(limit) {
    index_.reserve(std::min<std::size_t>(capacity_, 4096));
}

unsigned AbuseTable::sum_within(const Entry &e, std::int64_t hour) {
    // Buckets cover hours (hour-24, hour]; a bucket for hour h is valid while
    // h > hour - 24 and h <= e.last_hour.
    unsigned total = 0;
    for (std::int64_t h = std::max(e.last_hour - kHours + 1, hour - kHours + 1); h <= e.last_hour; ++h)
        total += e.per_hour[static_cast<std::size_t>(((h % kHours) + kHours) % kHours)];
    return total;
}

bool AbuseTable::over_limit(const Entry &e, std::int64_t hour) const {
    return limit_ != 0 && sum_within(e, std::max(hour, e.last_hour)) > limit_;
}

// Frees one place: blocked addresses whose offences have aged out since
// become ordinary again (checked from the least recent offender on), then
// the least recent ordinary address goes. False when all are blocked.
bool AbuseTable::make_room(std::int64_t hour) {
    while (!blocked_.empty() && !over_limit(blocked_.back(), hour)) {
        blocked_.back().blocked = false;
        open_.splice(open_.end(), blocked_, std::prev(blocked_.end()));
    }
    nblocked_.store(blocked_.size(), std::memory_order_relaxed);
    if (open_.empty()) return false;
    index_.erase(open_.back().key);
    open_.pop_back();
    return true;
}

unsigned AbuseTable::record(const AddrKey &key, std::int64_t now) {
    const std::int64_t hour = now / 3600;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(key);
    if (it == index_.end()) {
        if (index_.size() >= capacity_ && !make_room(hour)) return 1;  // full of blocked addresses
        open_.push_front(Entry{key, hour, {}, false});
        it = index_.emplace(key, open_.begin()).first;
    }
    Entry &e = *it->second;
    if (hour > e.last_hour) {
        // Clear the buckets of the hours that passed since the last offence.
        for (std::int64_t h = e.last_hour + 1; h <= hour && h <= e.last_hour + kHours; ++h)
            e.per_hour[static_cast<std::size_t>(((h % kHours) + kHours) % kHours)] = 0;
        e.last_hour = hour;
    }
    // An offence stamped before the last one (clock stepped back) still
    // counts towards the newest hour.
    auto &bucket = e.per_hour[static_cast<std::size_t>(((e.last_hour % kHours) + kHours) % kHours)];
    if (bucket < UINT16_MAX) ++bucket;
    // Most recent offender first, in the list that matches its state.
    std::list<Entry> &from = e.blocked ? blocked_ : open_;
    e.blocked = over_limit(e, hour);
    std::list<Entry> &to = e.blocked ? blocked_ : open_;
    to.splice(to.begin(), from, it->second);
    nblocked_.store(blocked_.size(), std::memory_order_relaxed);
    return sum_within(e, std::max(hour, e.last_hour));
}

unsigned AbuseTable::count(const AddrKey &key, std::int64_t now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(key);
    if (it == index_.end()) return 0;
    return sum_within(*it->second, std::max(now / 3600, it->second->last_hour));
}

bool AbuseTable::blocked(const AddrKey &key, std::int64_t now) const {
    // Asked for every connection; nearly always nobody is blocked.
    if (nblocked_.load(std::memory_order_relaxed) == 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (limit_ == 0) return false;
    auto it = index_.find(key);
    return it != index_.end() && over_limit(*it->second, now / 3600);
}

void AbuseTable::set_limits(std::size_t capacity, unsigned limit, std::int64_t now) {
    const std::int64_t hour = now / 3600;
    std::lock_guard<std::mutex> lock(mutex_);
    capacity_ = std::max<std::size_t>(capacity, 1);
    limit_ = limit;
    // Sort the entries into the lists the new limit calls for.
    for (auto *list : {&open_, &blocked_}) {
        for (auto it = list->begin(); it != list->end();) {
            auto next = std::next(it);
            bool b = over_limit(*it, hour);
            if (b != it->blocked) {
                it->blocked = b;
                std::list<Entry> &to = b ? blocked_ : open_;
                to.splice(to.end(), *list, it);
            }
            it = next;
        }
    }
    while (index_.size() > capacity_ && !make_room(hour)) {
        index_.erase(blocked_.back().key);
        blocked_.pop_back();
    }
    nblocked_.store(blocked_.size(), std::memory_order_relaxed);
}

std::size_t AbuseTable::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index_.size();
}

std::size_t AbuseTable::capacity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return capacity_;
}

unsigned AbuseTable::limit() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return limit_;
}

// ------------------------------------------------------ connection budget

ConnectionBudget::ConnectionBudget(unsigned total, unsigned per_address)
    : total_(total), per_address_(per_address) {}

bool ConnectionBudget::take_slot() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_ >= total_) {
        refused_ = true;
        return false;
    }
    ++open_;
    return true;
}

bool ConnectionBudget::give_slot(const AddrKey *address) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (address != nullptr) release_address(*address);
    if (open_ > 0) --open_;
    if (!refused_ || open_ >= total_) return false;
    refused_ = false;
    return true;
}

bool ConnectionBudget::take_address(const AddrKey &key) {
    std::lock_guard<std::mutex> lock(mutex_);
    unsigned &n = by_address_[key];
    if (per_address_ != 0 && n >= per_address_) return false;
    ++n;
    return true;
}

void ConnectionBudget::release_address(const AddrKey &key) {
    auto it = by_address_.find(key);
    if (it == by_address_.end()) return;
    if (--it->second == 0) by_address_.erase(it);
}

bool ConnectionBudget::set_limits(unsigned total, unsigned per_address) {
    std::lock_guard<std::mutex> lock(mutex_);
    total_ = total;
    per_address_ = per_address;
    if (!refused_ || open_ >= total_) return false;
    refused_ = false;
    return true;
}

unsigned ConnectionBudget::open() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

std::size_t ConnectionBudget::addresses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return by_address_.size();
}

std::uint64_t descriptors_needed(unsigned max_connections, unsigned workers) {
    return std::uint64_t{max_connections} + 4u * std::uint64_t{workers} + 32u;
}

// ------------------------------------------------------------ clock state

bool clock_is_synced(int adjtimex_result, long status) {
    return adjtimex_result >= 0 && adjtimex_result != TIME_ERROR && (status & STA_UNSYNC) == 0;
}

// ----------------------------------------------------------------- config

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

template <typename T>
bool parse_uint(std::string_view value, T &out, T min, T max) {
    if (!all_digits(value) || value.size() > 12) return false;
    std::uint64_t v = to_u64(value);
    if (v < min || v > max) return false;
    out = static_cast<T>(v);
    return true;
}

bool parse_bool(std::string_view value, bool &out) {
    if (value == "on" || value == "yes" || value == "true" || value == "1") return out = true, true;
    if (value == "off" || value == "no" || value == "false" || value == "0") return out = false, true;
    return false;
}

const char *const kSwitches[] = {"maintenance", "require-synced-clock"};

}  // namespace

bool apply_setting(Config &cfg, std::string_view key, std::string_view value, std::string &error) {
    auto bad = [&](const char *what) {
        error = std::string(key) + ": " + what + " (got \"" + std::string(value) + "\")";
        return false;
    };
    const unsigned kDay = 24u * 3600u * 1000u;
    if (key == "listen") {
        sockaddr_storage ss;
        socklen_t len;
        std::string e;
        if (!parse_listen_address(value, ss, len, e)) return bad(e.c_str());
        cfg.listen = std::string(value);
    } else if (key == "workers") {
        if (!parse_uint<unsigned>(value, cfg.workers, 0, 256)) return bad("expected 0 (one per core) to 256");
    } else if (key == "max-connections") {
        if (!parse_uint<unsigned>(value, cfg.max_connections, 1, kMaxConnectionsLimit))
            return bad(("expected 1 to " + std::to_string(kMaxConnectionsLimit)).c_str());
    } else if (key == "max-connections-per-address") {
        if (!parse_uint<unsigned>(value, cfg.max_connections_per_address, 0, kMaxConnectionsLimit))
            return bad(("expected 0 (no cap) to " + std::to_string(kMaxConnectionsLimit)).c_str());
    } else if (key == "idle-timeout-ms") {
        if (!parse_uint<unsigned>(value, cfg.idle_timeout_ms, 1, kDay)) return bad("expected milliseconds, 1 or more");
    } else if (key == "read-timeout-ms") {
        if (!parse_uint<unsigned>(value, cfg.read_timeout_ms, 1, kDay)) return bad("expected milliseconds, 1 or more");
    } else if (key == "shutdown-grace-ms") {
        if (!parse_uint<unsigned>(value, cfg.shutdown_grace_ms, 0, kDay)) return bad("expected milliseconds");
    } else if (key == "max-request-bytes") {
        if (!parse_uint<std::size_t>(value, cfg.max_request_bytes, 64, 65536)) return bad("expected 64 to 65536");
    } else if (key == "maintenance") {
        if (!parse_bool(value, cfg.maintenance)) return bad("expected on or off");
    } else if (key == "require-synced-clock") {
        if (!parse_bool(value, cfg.require_synced_clock)) return bad("expected on or off");
    } else if (key == "proxy-protocol-from") {
        std::vector<AddrKey> list;
        std::string e;
        if (!parse_address_list(value, list, e)) return bad(e.c_str());
        cfg.proxy_protocol_from = std::string(value);
    } else if (key == "min-version") {
        if (!value.empty() && !parse_version(value)) return bad("expected a version such as 2.07, or empty");
        cfg.min_version = std::string(value);
    } else if (key == "download-path") {
        cfg.download_path = std::string(value);
    } else if (key == "abuse-limit") {
        if (!parse_uint<unsigned>(value, cfg.abuse_limit, 0, 60000)) return bad("expected 0 (off) to 60000");
    } else if (key == "abuse-table-size") {
        if (!parse_uint<std::size_t>(value, cfg.abuse_table_size, 1, kMaxAbuseTableSize))
            return bad(("expected 1 to " + std::to_string(kMaxAbuseTableSize)).c_str());
    } else if (key == "banner-link") {
        cfg.banner_link = std::string(value);
        cfg.banner_set = true;
    } else if (key == "banner-text") {
        cfg.banner_text = std::string(value);
        cfg.banner_set = true;
    } else {
        error = "unknown setting \"" + std::string(key) + "\"";
        return false;
    }
    return true;
}

bool parse_config_text(Config &cfg, std::string_view text, std::string &error) {
    int line_no = 0;
    while (!text.empty()) {
        ++line_no;
        auto nl = text.find('\n');
        std::string_view line = trim(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (line.empty() || line.front() == '#') continue;
        auto eq = line.find('=');
        if (eq == std::string_view::npos) {
            error = "line " + std::to_string(line_no) + ": expected key = value";
            return false;
        }
        std::string e;
        if (!apply_setting(cfg, trim(line.substr(0, eq)), trim(line.substr(eq + 1)), e)) {
            error = "line " + std::to_string(line_no) + ": " + e;
            return false;
        }
    }
    return true;
}

ArgsResult parse_args(Config &cfg, const std::vector<std::string> &args, std::string &error) {
    struct Opt {
        std::string key, value;
    };
    std::vector<Opt> opts;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view a = args[i];
        if (a == "-h" || a == "--help") return ArgsResult::Help;
        if (a.substr(0, 2) != "--" || a.size() == 2) {
            error = "unexpected argument \"" + std::string(a) + "\"";
            return ArgsResult::Error;
        }
        a.remove_prefix(2);
        Opt o;
        if (auto eq = a.find('='); eq != std::string_view::npos) {
            o.key = std::string(a.substr(0, eq));
            o.value = std::string(a.substr(eq + 1));
        } else {
            o.key = std::string(a);
            bool is_switch = std::find(std::begin(kSwitches), std::end(kSwitches), o.key) != std::end(kSwitches);
            if (is_switch) {
                o.value = "on";
            } else if (i + 1 < args.size()) {
                o.value = args[++i];
            } else {
                error = "--" + o.key + " needs a value";
                return ArgsResult::Error;
            }
        }
        opts.push_back(std::move(o));
    }
    for (auto &o : opts) {
        if (o.key != "config") continue;
        std::ifstream in(o.value, std::ios::binary);
        if (!in) {
            error = "cannot read config file " + o.value + ": " + std::strerror(errno);
            return ArgsResult::Error;
        }
        std::stringstream ss;
        ss << in.rdbuf();
        std::string e;
        if (!parse_config_text(cfg, ss.str(), e)) {
            error = o.value + ": " + e;
            return ArgsResult::Error;
        }
        cfg.config_file = o.value;
    }
    for (auto &o : opts) {
        if (o.key == "config") continue;
        if (!apply_setting(cfg, o.key, o.value, error)) {
            error = "--" + error;
            return ArgsResult::Error;
        }
    }
    return ArgsResult::Ok;
}

bool validate_config(const Config &cfg, std::optional<Version> &minimum, std::string &error) {
    minimum.reset();
    if (!cfg.min_version.empty()) {
        minimum = parse_version(cfg.min_version);
        if (!minimum) {
            error = "min-version: not a version";
            return false;
        }
        if (cfg.download_path.empty()) {
            error = "min-version is set but download-path is empty";
            return false;
        }
    }
    // The upgrade reply travels as raw bytes; keep it to printable ASCII so
    // it cannot break the reply or the client's display.
    for (unsigned char c : cfg.download_path) {
        if (c < 0x20 || c >= 0x7f) {
            error = "download-path must be printable ASCII";
            return false;
        }
    }
    if (cfg.download_path.size() > 512) {
        error = "download-path is longer than 512 bytes";
        return false;
    }
    return true;
}

ArgsResult load_settings(const std::vector<std::string> &args, Settings &out, std::string &error) {
    Settings s;
    ArgsResult r = parse_args(s.config, args, error);
    if (r != ArgsResult::Ok) return r;
    if (!validate_config(s.config, s.minimum, error)) return ArgsResult::Error;
    if (s.config.banner_set && !build_banner(s.config.banner_link, s.config.banner_text, s.banner, error))
        return ArgsResult::Error;
    if (!parse_address_list(s.config.proxy_protocol_from, s.proxies, error)) return ArgsResult::Error;
    out = std::move(s);
    return ArgsResult::Ok;
}

AddrKey make_exact_addr_key(const struct sockaddr *sa) {
    AddrKey k{};
    if (sa->sa_family == AF_INET) {
        k[10] = k[11] = 0xff;
        std::memcpy(&k[12], &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, 4);
    } else if (sa->sa_family == AF_INET6) {
        std::memcpy(k.data(), &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, 16);
    }
    return k;
}

bool parse_address_list(std::string_view text, std::vector<AddrKey> &out, std::string &error) {
    std::vector<AddrKey> list;
    while (!text.empty()) {
        auto end = text.find_first_of(", \t");
        std::string item(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (item.empty()) continue;
        if (item.size() > 2 && item.front() == '[' && item.back() == ']') item = item.substr(1, item.size() - 2);
        sockaddr_in in4{};
        sockaddr_in6 in6{};
        if (inet_pton(AF_INET, item.c_str(), &in4.sin_addr) == 1) {
            in4.sin_family = AF_INET;
            list.push_back(make_exact_addr_key(reinterpret_cast<sockaddr *>(&in4)));
        } else if (inet_pton(AF_INET6, item.c_str(), &in6.sin6_addr) == 1) {
            in6.sin6_family = AF_INET6;
            list.push_back(make_exact_addr_key(reinterpret_cast<sockaddr *>(&in6)));
        } else {
            error = "\"" + item + "\" is not a numeric IPv4 or IPv6 address";
            return false;
        }
    }
    out = std::move(list);
    return true;
}

bool parse_listen_address(std::string_view text, struct sockaddr_storage &out, socklen_t &len,
                          std::string &error) {
    std::string host;
    std::string_view port = "80";
    if (!text.empty() && text.front() == '[') {
        auto close = text.find(']');
        if (close == std::string_view::npos) {
            error = "missing ']' in IPv6 address";
            return false;
        }
        host = std::string(text.substr(1, close - 1));
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                error = "expected ':' after ']'";
                return false;
            }
            port = rest.substr(1);
        }
    } else {
        auto colon = text.find(':');
        if (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos) {
            error = "write IPv6 addresses in brackets, e.g. [::1]:80";
            return false;
        }
        host = std::string(text.substr(0, colon));
        if (colon != std::string_view::npos) port = text.substr(colon + 1);
    }
    unsigned port_no = 0;
    if (!parse_uint<unsigned>(port, port_no, 1, 65535)) {
        error = "port must be 1 to 65535";
        return false;
    }
    std::memset(&out, 0, sizeof(out));
    auto *in4 = reinterpret_cast<sockaddr_in *>(&out);
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&out);
    if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(static_cast<std::uint16_t>(port_no));
        len = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<std::uint16_t>(port_no));
        len = sizeof(sockaddr_in6);
    } else {
        error = "\"" + host + "\" is not a numeric IPv4 or IPv6 address";
        return false;
    }
    return true;
}

const char *usage_text() {
    return "usage: oramet-timed [--config FILE] [--OPTION VALUE]...\n"
           "\n"
           "Answers the Oramet client's time and banner requests over HTTP/1.1.\n"
           "Every option can also be given as \"option = value\" in the config file;\n"
           "the command line wins.\n"
           "\n"
           "  --listen ADDR[:PORT]       address to listen on (default 127.0.0.1:80;\n"
           "                             IPv6 as [::]:80)\n"
           "  --workers N                event-loop threads, 0 = one per core (default 0)\n"
           "  --max-connections N        open connections at most, over all workers (1024;\n"
           "                             at most 64000)\n"
           "  --max-connections-per-address N\n"
           "                             open connections per client address, IPv6 per\n"
           "                             /64 (16; 0 = no cap)\n"
           "  --idle-timeout-ms MS       close connections that send nothing (2000)\n"
           "  --read-timeout-ms MS       whole request must arrive within this (10000)\n"
           "  --max-request-bytes N      longest accepted request head (2048)\n"
           "  --shutdown-grace-ms MS     time open requests get on SIGTERM/SIGINT (3000)\n"
           "  --maintenance              answer \"~\" to every time request\n"
           "  --require-synced-clock     answer \"~\" while the kernel reports the clock\n"
           "                             unsynchronised (default off)\n"
           "  --min-version V            clients reporting a lower v= get \"#\"+download path\n"
           "  --download-path TEXT       the text after \"#\" (printable ASCII)\n"
           "  --abuse-limit N            offences per client address within 24 hours\n"
           "                             before it is blocked (0 = off, default)\n"
           "  --abuse-table-size N       addresses remembered at most (65536; at most\n"
           "                             400000)\n"
           "  --proxy-protocol-from LIST addresses of load balancers that start each\n"
           "                             connection with a PROXY line (default none)\n"
           "  --banner-link TEXT         banner link (UTF-8)\n"
           "  --banner-text TEXT         banner text (UTF-8), sent in code page 936\n"
           "  --config FILE              read settings from FILE first\n"
           "  -h, --help                 this text\n"
           "\n"
           "SIGHUP rereads the config file and applies it without dropping connections\n"
           "or the offence table; listen and workers change only at a restart.\n";
}

}  // namespace oramet
