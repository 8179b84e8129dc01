#include "server.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <h2o.h>

#include "clock_watch.hpp"

namespace oramet {
namespace {

struct Worker;

// State of the whole server, shared by the workers and the main thread.
struct Shared {
    Shared(const Settings &s)
        : abuse(s.config.abuse_table_size, s.config.abuse_limit),
          budget(s.config.max_connections, s.config.max_connections_per_address) {}

    std::shared_ptr<const Settings> current() {
        std::lock_guard<std::mutex> lock(settings_mutex);
        return settings;
    }

    std::mutex settings_mutex;
    std::shared_ptr<const Settings> settings;  // the latest; workers take a copy when told
    AbuseTable abuse;
    ConnectionBudget budget;
    ClockWatch clock;
    std::atomic<bool> short_of_descriptors{false};  // logged, not yet over
    std::vector<Worker *> workers;
};

// What the main thread or another worker asks a worker to do; set as bits,
// then one byte through the worker's pipe wakes its loop.
enum : unsigned { kStop = 1, kReload = 2, kResume = 4 };

// Our bookkeeping for one accepted connection, kept beside H2O's own.
struct Conn {
    Worker *worker = nullptr;
    h2o_socket_t *sock = nullptr;
    AddrKey peer{};
    h2o_socket_cb h2o_read = nullptr;  // H2O's read callback, which we wrap
    bool via_proxy = false;       // from a listed proxy: starts with a PROXY line
    bool awaiting_proxy = false;  // ... which H2O has not read yet
    bool address_taken = false;   // counted against `peer` in the budget
    bool refused = false;         // over its address's cap or blocked: no reply
    bool got_bytes = false;
    bool handled = false;  // a complete request reached our handler
    bool offence_recorded = false;
    bool in_callback = false;  // H2O is working on it below one of our frames
    bool closed = false;
    h2o_timeout_entry_t idle_entry{};
    h2o_linklist_t link{};
};

struct Worker {
    Shared *shared = nullptr;
    std::shared_ptr<const Settings> settings;  // this thread's view
    h2o_globalconf_t *globalconf = nullptr;
    int listen_fd = -1;
    int wake_fd[2] = {-1, -1};
    std::atomic<unsigned> asked{0};

    h2o_evloop_t *loop = nullptr;
    h2o_context_t ctx{};
    h2o_accept_ctx_t accept_ctx{};
    h2o_accept_ctx_t proxy_accept_ctx{};  // reads a PROXY line first
    h2o_socket_cb http1_reader = nullptr;
    h2o_socket_t *listener = nullptr;
    h2o_socket_t *waker = nullptr;
    h2o_timeout_t idle_timeout{};
    h2o_timeout_t held_idle_timeout{};  // what is left of it after the kernel held a connection
    bool deferring = false;             // the kernel holds silent connections (TCP_DEFER_ACCEPT)
    h2o_timeout_t grace_timeout{};
    h2o_timeout_t retry_timeout{};
    h2o_timeout_entry_t grace_entry{};
    h2o_timeout_entry_t retry_entry{};
    h2o_linklist_t conns{};
    unsigned nconns = 0;
    std::time_t date_second = -1;  // the Date header of replies sent directly
    char date[32] = {};
    std::size_t date_len = 0;
    bool accepting = false;
    bool stopping = false;
    bool done = false;
};

// Descriptors ran out: accepting pauses this long, then tries again.
constexpr unsigned kAcceptRetryMs = 1000;
// With an idle cut at least this long, the kernel holds a new connection
// until its first bytes arrive, for up to this long (TCP_DEFER_ACCEPT, in
// whole seconds): the server only sees connections with a request to read,
// and one still silent after it is accepted with this much of its idle
// time used.
constexpr unsigned kDeferAcceptMs = 1000;

// The worker of this thread, and the connection whose bytes H2O is
// processing right now on it; lets the handler find our bookkeeping
// without reaching into H2O.
thread_local Worker *t_worker = nullptr;
thread_local Conn *t_current = nullptr;

void on_accept(h2o_socket_t *listener, const char *err);
void on_conn_read(h2o_socket_t *sock, const char *err);

std::int64_t wall_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}

void ask(Worker *w, unsigned what) {
    w->asked.fetch_or(what);
    char b = 1;
    // A full pipe already holds a wake-up; the bits carry the request.
    ssize_t n = write(w->wake_fd[1], &b, 1);
    (void)n;
}

void record_offence(Conn *c) {
    if (c->offence_recorded || c->worker->settings->config.abuse_limit == 0) return;
    c->offence_recorded = true;
    c->worker->shared->abuse.record(c->peer, wall_seconds());
}

// Sent something but never a complete, acceptable request: a request cut
// off by a time-out, by the client or by us.
bool cut_off(const Conn *c) { return c->got_bytes && !c->handled && !c->refused && !c->awaiting_proxy; }

// ------------------------------------------------------------ accepting

void start_accepting(Worker *w) {
    if (w->accepting || w->stopping || w->listener == nullptr || h2o_timeout_is_linked(&w->retry_entry)) return;
    w->accepting = true;
    h2o_socket_read_start(w->listener, on_accept);
}

void stop_accepting(Worker *w) {
    if (!w->accepting) return;
    w->accepting = false;
    h2o_socket_read_stop(w->listener);
}

// Returns a slot of the shared budget; when that makes room after a worker
// had to stop accepting, every worker takes up accepting again.
void give_slot(Worker *w, const AddrKey *address = nullptr) {
    if (!w->shared->budget.give_slot(address)) return;
    for (Worker *other : w->shared->workers) {
        if (other == w)
            start_accepting(w);
        else
            ask(other, kResume);
    }
}

// Blocked addresses and addresses at their cap are turned away at once.
bool admit_address(Worker *w, const AddrKey &key) {
    if (w->settings->config.abuse_limit != 0 && w->shared->abuse.blocked(key, wall_seconds())) return false;
    return w->shared->budget.take_address(key);
}

// A proxied connection's client is known once H2O has read the PROXY line.
bool admit_proxied(Conn *c) {
    c->awaiting_proxy = false;
    struct sockaddr_storage ss;
    std::memset(&ss, 0, sizeof(ss));
    h2o_socket_getpeername(c->sock, reinterpret_cast<struct sockaddr *>(&ss));
    c->peer = make_addr_key(reinterpret_cast<struct sockaddr *>(&ss));
    if (!admit_address(c->worker, c->peer)) {
        c->refused = true;
        return false;
    }
    c->address_taken = true;
    return true;
}

void on_retry_accept(h2o_timeout_entry_t *entry) {
    Worker *w = H2O_STRUCT_FROM_MEMBER(Worker, retry_entry, entry);
    start_accepting(w);
}

// accept() failed for want of descriptors or memory. The pending connection
// stays queued and the listener readable, so accepting pauses for a while
// instead of spinning on it.
void pause_for_resources(Worker *w, int err) {
    stop_accepting(w);
    if (!h2o_timeout_is_linked(&w->retry_entry)) h2o_timeout_link(w->loop, &w->retry_timeout, &w->retry_entry);
    if (!w->shared->short_of_descriptors.exchange(true))
        std::fprintf(stderr,
                     "oramet-timed: cannot accept connections (%s); pausing accepts, retrying every %u ms\n",
                     std::strerror(err), kAcceptRetryMs);
}

void on_idle_timeout(h2o_timeout_entry_t *entry);

void on_conn_close(void *data) {
    auto *c = static_cast<Conn *>(data);
    Worker *w = c->worker;
    if (cut_off(c)) record_offence(c);
    if (h2o_timeout_is_linked(&c->idle_entry)) h2o_timeout_unlink(&c->idle_entry);
    h2o_linklist_unlink(&c->link);
    AddrKey peer = c->peer;
    bool address_taken = c->address_taken;
    c->closed = true;
    if (!c->in_callback) delete c;  // else the caller deletes it
    --w->nconns;
    give_slot(w, address_taken ? &peer : nullptr);
    if (w->stopping && w->nconns == 0) w->done = true;
}

// Hands bytes read before H2O knew the connection to H2O, as if its own
// read had brought them.
void feed(h2o_socket_t *sock, const char *bytes, size_t len) {
    h2o_iovec_t buf = h2o_buffer_reserve(&sock->input, len);
    std::memcpy(buf.base, bytes, len);
    sock->input->size += len;
    sock->bytes_read += len;
    on_conn_read(sock, nullptr);
}

bool answer_directly(Worker *w, int fd, const AddrKey &peer, std::string_view raw);

// Gives an admitted connection to H2O, with our bookkeeping beside it.
// `held` when the kernel held it silent for kDeferAcceptMs.
h2o_socket_t *open_connection(Worker *w, int fd, const AddrKey &key, bool via_proxy, bool held) {
    h2o_socket_t *sock = h2o_evloop_socket_create(w->loop, fd, H2O_SOCKET_FLAG_IS_ACCEPTED_CONNECTION);
    auto *c = new Conn;
    c->worker = w;
    c->sock = sock;
    c->peer = key;
    c->via_proxy = c->awaiting_proxy = via_proxy;
    c->address_taken = !via_proxy;
    c->idle_entry.cb = on_idle_timeout;
    h2o_linklist_insert(&w->conns, &c->link);
    ++w->nconns;
    sock->on_close.cb = on_conn_close;
    sock->on_close.data = c;
    t_current = c;
    h2o_accept(via_proxy ? &w->proxy_accept_ctx : &w->accept_ctx, sock);
    t_current = nullptr;
    // The connection now waits for its first bytes with H2O's read callback
    // (HTTP/1, or the PROXY line reader) installed; put ours in front of it.
    c->h2o_read = sock->_cb.read;
    sock->_cb.read = on_conn_read;
    h2o_timeout_link(w->loop, held ? &w->held_idle_timeout : &w->idle_timeout, &c->idle_entry);
    return sock;
}

void on_accept(h2o_socket_t *listener, const char *err) {
    auto *w = static_cast<Worker *>(listener->data);
    if (err != nullptr) return;
    const Settings &st = *w->settings;
    // A few at a time: the requests of connections taken earlier are not
    // kept waiting behind a long run of new ones.
    constexpr int kBatch = 4;
    struct Accepted {
        int fd;
        AddrKey key;
        bool via_proxy;
    } batch[kBatch];
    int n = 0;
    for (int i = 0; i < kBatch; ++i) {
        // Take the slot first: when the server is full the connection stays
        // in the kernel's queue until one frees up.
        if (!w->shared->budget.take_slot()) {
            stop_accepting(w);
            break;
        }
        // Accepting here rather than through H2O gives the client's address
        // with the connection, without asking the kernel again.
        struct sockaddr_storage ss;
        socklen_t len = sizeof(ss);
        int fd = accept4(w->listen_fd, reinterpret_cast<struct sockaddr *>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            int e = errno;
            give_slot(w);
            if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) pause_for_resources(w, e);
            break;
        }
        if (w->shared->short_of_descriptors.load(std::memory_order_relaxed) &&
            w->shared->short_of_descriptors.exchange(false))
            std::fprintf(stderr, "oramet-timed: accepting connections again\n");
        const auto *sa = reinterpret_cast<const struct sockaddr *>(&ss);
        AddrKey exact = make_exact_addr_key(sa);
        bool via_proxy = w->http1_reader != nullptr &&
                         std::find(st.proxies.begin(), st.proxies.end(), exact) != st.proxies.end();
        AddrKey key = make_addr_key(sa);
        // A listed proxy's own address is neither capped nor blocked; its
        // clients are, once the PROXY line names them. Turning a flood away
        // before H2O knows of it costs little.
        if (!via_proxy && !admit_address(w, key)) {
            close(fd);
            give_slot(w);
            continue;
        }
        batch[n++] = {fd, key, via_proxy};
    }
    // A client sends its request as soon as it is connected. While the
    // kernel holds connections until then, every one accepted has its
    // request waiting, but for those still silent after kDeferAcceptMs.
    // Otherwise one that queued behind another usually holds it by now; the
    // newest, just connected, seldom has, and once one has not, the newer
    // ones have not either. A request read here that is simple (as the
    // Oramet client's are) is answered at once on the bare socket, which
    // spares H2O's set-up and the socket's registration with epoll;
    // anything else goes to H2O with the bytes already read.
    bool reading = true;
    for (int i = 0; i < n; ++i) {
        const Accepted &a = batch[i];
        char buf[4096];
        ssize_t got = 0;
        bool silent = false;
        const bool tried = w->deferring || (reading && i + 1 < n);
        if (tried) {
            while ((got = read(a.fd, buf, sizeof(buf))) < 0 && errno == EINTR) {
            }
            silent = got < 0 && errno == EAGAIN;
            reading = got > 0;
        }
        // Gone without a word (a port probe, a health check), or answered:
        // either way there is nothing left to do with it.
        bool done = got > 0 ? !a.via_proxy && answer_directly(w, a.fd, a.key, std::string_view(buf, got))
                            : tried && !silent;
        if (done) {
            close(a.fd);
            give_slot(w, a.via_proxy ? nullptr : &a.key);
            continue;
        }
        h2o_socket_t *sock = open_connection(w, a.fd, a.key, a.via_proxy, w->deferring && silent);
        if (got > 0) feed(sock, buf, static_cast<size_t>(got));
    }
}

// ------------------------------------------------------------ responses

void gen_proceed(h2o_generator_t *, h2o_req_t *) {}
void gen_stop(h2o_generator_t *, h2o_req_t *) {}
h2o_generator_t g_generator = {gen_proceed, gen_stop};

struct Reply {
    int status = 200;
    const char *reason = "OK";
    std::string_view body;
    bool no_store = false;  // answers that are only true at this moment
};

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

// What a request gets, whichever way it came in.
struct Answer {
    Reply reply;
    bool time = false;    // the reply is the current time, stamped when sent
    std::string storage;  // owns the body when it is made for this request
};

// The client whose request is answered: its connection when H2O has one,
// else only its address (answered directly); neither for H2O's own probe.
struct Client {
    Conn *conn = nullptr;
    const AddrKey *peer = nullptr;
};

void count_offence(Worker *w, const Client &client) {
    if (client.conn != nullptr)
        record_offence(client.conn);
    else if (client.peer != nullptr && w->settings->config.abuse_limit != 0)
        w->shared->abuse.record(*client.peer, wall_seconds());
}

Answer answer_for(Worker *w, std::string_view method, std::string_view target, const Client &client) {
    const Settings &st = *w->settings;
    Answer a;
    switch (route_request(method, target)) {
    case Route::Banner:
        a.reply = Reply{200, "OK", st.banner, false};
        return a;
    case Route::NotFound:
        count_offence(w, client);
        a.reply = Reply{404, "Not Found", "not found", false};
        return a;
    case Route::Time:
        break;
    }
    TimeQuery tq = classify_time_query(target.substr(target.find('?') + 1), st.minimum);
    // Counted first: the offence that passes the limit is itself answered "^".
    if (tq.malformed) count_offence(w, client);
    const AddrKey *peer = client.conn != nullptr ? &client.conn->peer : client.peer;
    if (st.config.maintenance || (st.config.require_synced_clock && w->shared->clock.unsynced())) {
        a.reply = Reply{200, "OK", "~", true};
    } else if (peer != nullptr && st.config.abuse_limit != 0 && w->shared->abuse.blocked(*peer, wall_seconds())) {
        a.reply = Reply{200, "OK", "^", true};
    } else if (tq.needs_upgrade) {
        a.storage = "#" + st.config.download_path;
        a.reply = Reply{200, "OK", a.storage, true};
    } else {
        a.time = true;
    }
    return a;
}

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
    Answer a;
    if (req->entity.base != nullptr) {  // no request carries a body
        if (c != nullptr) record_offence(c);
        a.reply = Reply{404, "Not Found", "not found", false};
    } else {
        a = answer_for(w, method, target, Client{c, nullptr});
    }
    if (a.time)
        send_time(req);
    else
        send_reply(req, a.reply);
    return 0;
}

// Answers a simple request (see parse_simple_request) on the bare socket,
// as H2O would have; false when the request needs H2O. The caller closes.
bool answer_directly(Worker *w, int fd, const AddrKey &peer, std::string_view raw) {
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
    return true;  // a client already gone gets nothing either way
}

// ---------------------------------------------------------- connections

// Runs H2O's read callback for the connection. Returns false when the
// connection was closed (and `c` freed) meanwhile.
bool call_h2o_read(Conn *c, const char *err) {
    h2o_socket_t *sock = c->sock;
    Worker *w = c->worker;
    const bool reading_proxy_line = c->via_proxy && c->h2o_read != w->http1_reader;
    t_current = c;
    c->in_callback = true;
    c->h2o_read(sock, err);
    c->in_callback = false;
    t_current = nullptr;
    if (c->closed) {
        delete c;
        return false;
    }
    if (sock->_cb.read != on_conn_read) {
        // H2O started reading anew (after the PROXY line, HTTP/1 takes over):
        // wrap that reader too. When it has stopped reading already (the
        // request came with the PROXY line), it is HTTP/1's all the same.
        if (sock->_cb.read != nullptr) {
            c->h2o_read = sock->_cb.read;
            sock->_cb.read = on_conn_read;
        } else if (reading_proxy_line) {
            c->h2o_read = w->http1_reader;
        }
    }
    if (c->awaiting_proxy && c->h2o_read == w->http1_reader && !admit_proxied(c)) return call_h2o_read(c, "refused");
    // H2O answered by itself (400 for an unparseable request) without
    // reaching our handler. Count it now, before the socket is closed, so
    // the client's next connection already sees the count.
    if (!c->handled && !c->refused && sock->bytes_written > 0) record_offence(c);
    return true;
}

// Closes the connection through H2O's own error path so its state is torn
// down properly.
void abort_conn(Conn *c, const char *why) {
    if (cut_off(c)) record_offence(c);
    call_h2o_read(c, why);
}

void on_conn_read(h2o_socket_t *sock, const char *err) {
    auto *c = static_cast<Conn *>(sock->on_close.data);
    if (err == nullptr && !c->handled) {
        size_t size = sock->input->size;
        if (size != 0) {
            c->got_bytes = true;
            if (h2o_timeout_is_linked(&c->idle_entry)) h2o_timeout_unlink(&c->idle_entry);
        }
        if (size > c->worker->settings->config.max_request_bytes)
            err = "request too large";
        else if (!c->via_proxy && size >= 6 && std::memcmp(sock->input->bytes, "PROXY ", 6) == 0)
            err = "PROXY line from an address not listed";  // would pass a forged client address
    }
    if (err != nullptr)
        abort_conn(c, err);
    else
        call_h2o_read(c, nullptr);
}

void on_idle_timeout(h2o_timeout_entry_t *entry) {
    Conn *c = H2O_STRUCT_FROM_MEMBER(Conn, idle_entry, entry);
    abort_conn(c, "idle timeout");
}

// ------------------------------------------------------------- workers

void on_grace_over(h2o_timeout_entry_t *entry) {
    Worker *w = H2O_STRUCT_FROM_MEMBER(Worker, grace_entry, entry);
    while (!h2o_linklist_is_empty(&w->conns)) {
        Conn *c = H2O_STRUCT_FROM_MEMBER(Conn, link, w->conns.next);
        abort_conn(c, "shutting down");
    }
    w->done = true;
}

void apply_timeouts(Worker *w) {
    const Config &cfg = w->settings->config;
    // H2O measures each entry against the timeout's current value, so
    // connections already waiting get the new one too.
    w->idle_timeout.timeout = cfg.idle_timeout_ms;
    w->deferring = cfg.idle_timeout_ms >= kDeferAcceptMs;
    w->held_idle_timeout.timeout = w->deferring ? cfg.idle_timeout_ms - kDeferAcceptMs : cfg.idle_timeout_ms;
    int defer_seconds = w->deferring ? static_cast<int>(kDeferAcceptMs / 1000) : 0;
    if (setsockopt(w->listen_fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer_seconds, sizeof(defer_seconds)) != 0)
        w->deferring = false;
    w->grace_timeout.timeout = cfg.shutdown_grace_ms;
    w->ctx.http1.req_timeout.timeout = cfg.read_timeout_ms;
    w->ctx.handshake_timeout.timeout = cfg.read_timeout_ms;
}

void stop_worker(Worker *w) {
    w->stopping = true;
    if (w->listener != nullptr) {
        stop_accepting(w);
        h2o_socket_close(w->listener);
        w->listener = nullptr;
    }
    if (h2o_timeout_is_linked(&w->retry_entry)) h2o_timeout_unlink(&w->retry_entry);
    // Connections that have not sent anything yet will not be missed.
    for (h2o_linklist_t *n = w->conns.next; n != &w->conns;) {
        Conn *c = H2O_STRUCT_FROM_MEMBER(Conn, link, n);
        n = n->next;
        if (!c->got_bytes && !c->handled) abort_conn(c, "shutting down");
    }
    h2o_timeout_link(w->loop, &w->grace_timeout, &w->grace_entry);
    if (w->nconns == 0) w->done = true;
}

void on_wake(h2o_socket_t *sock, const char *) {
    auto *w = static_cast<Worker *>(sock->data);
    h2o_buffer_consume(&sock->input, sock->input->size);
    unsigned what = w->asked.exchange(0);
    if (w->stopping) return;
    if (what & kStop) {
        stop_worker(w);
        return;
    }
    if (what & kReload) {
        w->settings = w->shared->current();
        apply_timeouts(w);
    }
    if (what & (kReload | kResume)) start_accepting(w);
}

// HTTP/1's read callback, which H2O keeps to itself: a throw-away
// connection over a socket pair shows it.
h2o_socket_cb find_http1_reader(Worker *w) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return nullptr;
    h2o_socket_t *sock = h2o_evloop_socket_create(w->loop, pair[0], 0);
    h2o_accept(&w->accept_ctx, sock);
    h2o_socket_cb reader = sock->_cb.read;
    reader(sock, "probe done");  // HTTP/1 closes the connection and the socket
    close(pair[1]);
    return reader;
}

void worker_main(Worker *w) {
    t_worker = w;
    w->loop = h2o_evloop_create();
    h2o_context_init(&w->ctx, w->loop, w->globalconf);
    w->accept_ctx.ctx = &w->ctx;
    w->accept_ctx.hosts = w->globalconf->hosts;
    w->proxy_accept_ctx = w->accept_ctx;
    w->proxy_accept_ctx.expect_proxy_line = 1;
    h2o_linklist_init_anchor(&w->conns);
    h2o_timeout_init(w->loop, &w->idle_timeout, w->settings->config.idle_timeout_ms);
    h2o_timeout_init(w->loop, &w->held_idle_timeout, w->settings->config.idle_timeout_ms);
    h2o_timeout_init(w->loop, &w->grace_timeout, w->settings->config.shutdown_grace_ms);
    h2o_timeout_init(w->loop, &w->retry_timeout, kAcceptRetryMs);
    apply_timeouts(w);
    w->grace_entry.cb = on_grace_over;
    w->retry_entry.cb = on_retry_accept;
    w->http1_reader = find_http1_reader(w);

    w->waker = h2o_evloop_socket_create(w->loop, w->wake_fd[0], H2O_SOCKET_FLAG_DONT_READ);
    w->waker->data = w;
    h2o_socket_read_start(w->waker, on_wake);

    w->listener = h2o_evloop_socket_create(w->loop, w->listen_fd, H2O_SOCKET_FLAG_DONT_READ);
    w->listener->data = w;
    start_accepting(w);

    while (!w->done) h2o_evloop_run(w->loop, INT32_MAX);

    if (h2o_timeout_is_linked(&w->grace_entry)) h2o_timeout_unlink(&w->grace_entry);
    h2o_socket_read_stop(w->waker);
    h2o_socket_close(w->waker);
    h2o_evloop_run(w->loop, 0);  // let the closed sockets be disposed
    h2o_context_dispose(&w->ctx);
    h2o_timeout_dispose(w->loop, &w->idle_timeout);
    h2o_timeout_dispose(w->loop, &w->held_idle_timeout);
    h2o_timeout_dispose(w->loop, &w->grace_timeout);
    h2o_timeout_dispose(w->loop, &w->retry_timeout);
    h2o_evloop_destroy(w->loop);
}

// ---------------------------------------------------------- start, stop

int open_listener(const struct sockaddr_storage &addr, socklen_t len, bool reuseport, std::string &error) {
    int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (reuseport && setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)) != 0) {
        error = std::string("SO_REUSEPORT: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    if (addr.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    if (bind(fd, reinterpret_cast<const struct sockaddr *>(&addr), len) != 0) {
        error = std::string("bind: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    if (reuseport && listen(fd, 1024) != 0) {
        error = std::string("listen: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

unsigned core_count() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

// Raises the soft descriptor limit to the hard one; returns the limit.
std::uint64_t raise_descriptor_limit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    if (rl.rlim_cur != rl.rlim_max) {
        struct rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) rl = raised;
    }
    return rl.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<std::uint64_t>(rl.rlim_cur);
}

std::uint64_t descriptor_limit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    return rl.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<std::uint64_t>(rl.rlim_cur);
}

bool fits_descriptors(const Config &cfg, unsigned nworkers, std::uint64_t limit, std::string &error) {
    std::uint64_t needed = descriptors_needed(cfg.max_connections, nworkers);
    if (needed <= limit) return true;
    error = "max-connections " + std::to_string(cfg.max_connections) + " needs " + std::to_string(needed) +
            " file descriptors with the server's own, but the limit is " + std::to_string(limit) +
            " (LimitNOFILE= in the unit, ulimit -n in a shell); lower max-connections or raise the limit";
    return false;
}

void reload(Shared &shared, const std::vector<std::string> &args, unsigned nworkers) {
    Settings next;
    std::string error;
    if (load_settings(args, next, error) != ArgsResult::Ok ||
        !fits_descriptors(next.config, nworkers, descriptor_limit(), error)) {
        std::fprintf(stderr, "oramet-timed: SIGHUP: settings not reloaded, keeping the old ones: %s\n",
                     error.c_str());
        return;
    }
    auto old = shared.current();
    if (next.config.listen != old->config.listen || next.config.workers != old->config.workers) {
        std::fprintf(stderr, "oramet-timed: SIGHUP: listen and workers change only at a restart\n");
        next.config.listen = old->config.listen;
        next.config.workers = old->config.workers;
    }
    const Config &cfg = next.config;
    shared.abuse.set_limits(cfg.abuse_table_size, cfg.abuse_limit, wall_seconds());
    // Every worker is asked to reload below and takes up accepting with it,
    // so whether the new limits made room needs no answer here.
    shared.budget.set_limits(cfg.max_connections, cfg.max_connections_per_address);
    {
        std::lock_guard<std::mutex> lock(shared.settings_mutex);
        shared.settings = std::make_shared<const Settings>(std::move(next));
    }
    for (Worker *w : shared.workers) ask(w, kReload);
    std::fprintf(stderr, "oramet-timed: SIGHUP: settings reloaded\n");
}

}  // namespace

int run_server(const std::vector<std::string> &args, std::shared_ptr<const Settings> settings) {
    const Config &cfg = settings->config;
    struct sockaddr_storage addr;
    socklen_t addr_len;
    std::string error;
    if (!parse_listen_address(cfg.listen, addr, addr_len, error)) {
        std::fprintf(stderr, "oramet-timed: listen %s: %s\n", cfg.listen.c_str(), error.c_str());
        return 2;
    }

    unsigned nworkers = cfg.workers != 0 ? cfg.workers : core_count();
    if (nworkers > cfg.max_connections) nworkers = cfg.max_connections;
    if (!fits_descriptors(cfg, nworkers, raise_descriptor_limit(), error)) {
        std::fprintf(stderr, "oramet-timed: %s\n", error.c_str());
        return 2;
    }

    // SO_REUSEPORT would let us share the port with a stray copy of
    // ourselves; a plain bind first makes "address in use" an error.
    int probe = open_listener(addr, addr_len, false, error);
    if (probe < 0) {
        std::fprintf(stderr, "oramet-timed: cannot listen on %s: %s\n", cfg.listen.c_str(), error.c_str());
        return 1;
    }
    close(probe);

    Shared shared(*settings);
    shared.settings = settings;
    shared.clock.check(cfg.require_synced_clock);

    h2o_globalconf_t globalconf;
    h2o_config_init(&globalconf);
    globalconf.server_name = h2o_iovec_init(H2O_STRLIT("oramet-timed"));
    // Our read wrapper enforces max-request-bytes, which a reload may raise;
    // this only has H2O refuse larger bodies before reading them.
    globalconf.max_request_entity_size = 65536;
    globalconf.http1.req_timeout = cfg.read_timeout_ms;
    globalconf.handshake_timeout = cfg.read_timeout_ms;
    globalconf.http1.upgrade_to_http2 = 0;
    h2o_hostconf_t *host = h2o_config_register_host(&globalconf, h2o_iovec_init(H2O_STRLIT("default")), 65535);
    h2o_pathconf_t *path = h2o_config_register_path(host, "/", 0);
    h2o_handler_t *handler = h2o_create_handler(path, sizeof(h2o_handler_t));
    handler->on_req = on_request;

    // Signals are taken by this thread with sigtimedwait(); workers never see them.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<Worker>> workers;
    for (unsigned i = 0; i < nworkers; ++i) {
        auto w = std::make_unique<Worker>();
        w->shared = &shared;
        w->settings = settings;
        w->globalconf = &globalconf;
        w->listen_fd = open_listener(addr, addr_len, true, error);
        if (w->listen_fd < 0 || pipe2(w->wake_fd, O_NONBLOCK | O_CLOEXEC) != 0) {
            if (w->listen_fd >= 0) error = std::string("pipe: ") + std::strerror(errno);
            std::fprintf(stderr, "oramet-timed: cannot listen on %s: %s\n", cfg.listen.c_str(), error.c_str());
            return 1;
        }
        shared.workers.push_back(w.get());
        workers.push_back(std::move(w));
    }

    std::vector<std::thread> threads;
    for (auto &w : workers) threads.emplace_back(worker_main, w.get());
    std::fprintf(stderr, "oramet-timed: listening on %s with %u worker%s\n", cfg.listen.c_str(), nworkers,
                 nworkers == 1 ? "" : "s");

    // Wait for signals; look at the clock's state once a second meanwhile.
    using SteadyClock = std::chrono::steady_clock;
    auto next_check = SteadyClock::now() + std::chrono::seconds(1);
    int sig = 0;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(next_check - SteadyClock::now()).count();
        if (left <= 0) {
            shared.clock.check(shared.current()->config.require_synced_clock);
            next_check = SteadyClock::now() + std::chrono::seconds(1);
            continue;
        }
        struct timespec wait = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        sig = sigtimedwait(&sigs, nullptr, &wait);
        if (sig == SIGTERM || sig == SIGINT) break;
        if (sig == SIGHUP) reload(shared, args, nworkers);
    }
    std::fprintf(stderr, "oramet-timed: %s received, shutting down\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
    for (auto &w : workers) ask(w.get(), kStop);
    for (auto &t : threads) t.join();
    for (auto &w : workers) close(w->wake_fd[1]);
    h2o_config_dispose(&globalconf);
    std::fprintf(stderr, "oramet-timed: stopped\n");
    return 0;
}

}  // namespace oramet
