// Simple requests answered on the bare socket, without H2O.
#include "worker.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <sys/socket.h>

namespace oramet {

// Answers a simple request (see parse_simple_request) on the bare socket,
// as H2O would have; false when the request needs H2O. The caller closes.
bool answer_directly(Worker *w, int fd, const AddrKey &peer, std::string_view raw, std::uint64_t accepted_us) {
    SimpleRequest sr;
    if (raw.size() > w->settings->config.max_request_bytes || !parse_simple_request(raw, sr)) return false;
    Answer a = answer_for(w, sr.method, sr.target, Client{nullptr, &peer});
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec != w->date_second) {
        w->date_second = ts.tv_sec;
        w->date_len = format_http_date(ts.tv_sec, w->date);
    }
    char time_body[32];
    std::string_view body = a.reply.body;
    if (a.time) {
        // The head needs the length first; see send_time().
        body = std::string_view(time_body, format_time_body(ts, time_body));
        a.reply.no_store = true;
    }
    char out[kMaxReplyHead + kMaxBannerBytes];
    std::size_t n = format_reply_head(out, a.reply.status, a.reply.reason, std::string_view(w->date, w->date_len),
                                      body.size(), a.reply.no_store);
    if (sr.method != "HEAD") {
        if (a.time) {
            char late[32];
            clock_gettime(CLOCK_REALTIME, &ts);
            if (format_time_body(ts, late) == body.size()) std::memcpy(time_body, late, body.size());
        }
        body = body.substr(0, sizeof(out) - n);
        std::memcpy(out + n, body.data(), body.size());
        n += body.size();
    }
    ssize_t sent;
    while ((sent = send(fd, out, n, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    w->counters.answered(a.kind, AnswerPath::Direct);
    w->counters.replied_after(monotonic_us() - accepted_us);
    return true;  // a client already gone gets nothing either way
}

}  // namespace oramet
