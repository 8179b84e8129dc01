#include "request.hpp"

#include <strings.h>

#include <cctype>
#include <charconv>

namespace oramet {
namespace {

// A target in absolute form ("http://host/?v=2.07"), which a server must
// accept and some clients send even inside a proxy's tunnel, from its path
// on; empty when it has no path. Any other target as it stands.
std::string_view origin_form(std::string_view target) {
    for (std::string_view scheme : {"http://", "https://"}) {
        if (target.size() < scheme.size() || strncasecmp(target.data(), scheme.data(), scheme.size()) != 0)
            continue;
        auto path = target.find_first_of("/?#", scheme.size());
        return path != std::string_view::npos && target[path] == '/' ? target.substr(path) : std::string_view();
    }
    return target;
}

}  // namespace

Route route_request(std::string_view method, std::string_view target) {
    if (method != "GET" && method != "HEAD") return Route::NotFound;
    target = origin_form(target);
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

}  // namespace oramet
