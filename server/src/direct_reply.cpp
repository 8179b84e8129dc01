#include "direct_reply.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace oramet {

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

}  // namespace oramet
