// The handler H2O calls with a parsed request, and the replies it sends.
#include "worker.hpp"

#include <cstring>

#include <sys/socket.h>

namespace oramet {
namespace {

void gen_proceed(h2o_generator_t *, h2o_req_t *) {}
void gen_stop(h2o_generator_t *, h2o_req_t *) {}
h2o_generator_t g_generator = {gen_proceed, gen_stop};

bool is_head(const h2o_req_t *req) { return h2o_memis(req->method.base, req->method.len, H2O_STRLIT("HEAD")); }

void send_reply(h2o_req_t *req, const Reply &r) {
    req->res.status = r.status;
    req->res.reason = r.reason;
    req->res.content_length = r.body.size();
    if (r.no_store)
        h2o_add_header(&req->pool, &req->res.headers, H2O_TOKEN_CACHE_CONTROL, "Cache-Control", H2O_STRLIT("no-store"));
    h2o_start_response(req, &g_generator);
    if (is_head(req)) {
        h2o_send(req, nullptr, 0, H2O_SEND_STATE_FINAL);
        return;
    }
    char *buf = static_cast<char *>(h2o_mem_alloc_pool(&req->pool, r.body.size() + 1));
    if (!r.body.empty()) std::memcpy(buf, r.body.data(), r.body.size());
    h2o_iovec_t vec = h2o_iovec_init(buf, r.body.size());
    h2o_send(req, &vec, 1, H2O_SEND_STATE_FINAL);
}

void send_time(h2o_req_t *req) {
    char *buf = static_cast<char *>(h2o_mem_alloc_pool(&req->pool, 32));
    // H2O wants the length before the response starts. The body length only
    // changes when the seconds gain a digit, so a first stamp gives it.
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    size_t len = format_time_body(ts, buf);
    if (is_head(req)) {
        send_reply(req, Reply{200, "OK", std::string_view(buf, len), true});
        return;
    }
    req->res.status = 200;
    req->res.reason = "OK";
    req->res.content_length = len;
    h2o_add_header(&req->pool, &req->res.headers, H2O_TOKEN_CACHE_CONTROL, "Cache-Control", H2O_STRLIT("no-store"));
    h2o_start_response(req, &g_generator);
    // Stamp again as late as possible: only H2O's write is left after this.
    char late[32];
    clock_gettime(CLOCK_REALTIME, &ts);
    size_t late_len = format_time_body(ts, late);
    if (late_len == len) std::memcpy(buf, late, len);
    h2o_iovec_t vec = h2o_iovec_init(buf, len);
    h2o_send(req, &vec, 1, H2O_SEND_STATE_FINAL);
}

// A proxied client turned out to be blocked or over its cap after H2O had
// read the whole request. Shutting the socket first makes the reply's write
// fail, so the client gets the close and not a byte.
void refuse_request(h2o_req_t *req, Conn *c) {
    shutdown(h2o_socket_get_fd(c->sock), SHUT_RDWR);  // a client already gone fails the write all the same
    send_reply(req, Reply{403, "Forbidden", {}, false});
}

// No request carries a body.
Answer answer_with_body(Conn *c) {
    if (c != nullptr) record_offence(c);
    Answer a;
    a.kind = AnswerKind::NotFound;
    a.reply = Reply{404, "Not Found", "not found", false};
    return a;
}

}  // namespace

int on_request(h2o_handler_t *, h2o_req_t *req) {
    Worker *w = t_worker;
    Conn *c = t_current;
    req->http1_is_persistent = 0;  // one request per connection, as the client does
    if (c != nullptr && c->awaiting_proxy && !admit_proxied(c)) {
        refuse_request(req, c);
        return 0;
    }
    if (c != nullptr) c->handled = true;

    std::string_view method(req->method.base, req->method.len);
    std::string_view target(req->path.base, req->path.len);
    // Made in place: the reply's body may point into the answer's own
    // storage, which a move would leave behind.
    const Answer a = req->entity.base != nullptr ? answer_with_body(c) : answer_for(w, method, target, Client{c, nullptr});
    if (a.time)
        send_time(req);
    else
        send_reply(req, a.reply);
    w->counters.answered(a.kind, AnswerPath::H2O);
    if (c != nullptr) w->counters.replied_after(monotonic_us() - c->accepted_us);
    return 0;
}

}  // namespace oramet
