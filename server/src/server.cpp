#include "server.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <h2o.h>

namespace oramet {
namespace {

struct Worker;

// Our bookkeeping for one accepted connection, kept beside H2O's own.
struct Conn {
    Worker *worker = nullptr;
    h2o_socket_t *sock = nullptr;
    AddrKey peer{};
    h2o_socket_cb h2o_read = nullptr;  // H2O's read callback, which we wrap
    bool got_bytes = false;
    bool handled = false;  // a complete request reached our handler
    bool offence_recorded = false;
    bool in_callback = false;  // H2O is working on it below one of our frames
    bool closed = false;
    h2o_timeout_entry_t idle_entry{};
    h2o_linklist_t link{};
};

struct Handler {
    h2o_handler_t super;
    const ServerState *state;
    AbuseTable *abuse;
};

struct Worker {
    const ServerState *state = nullptr;
    AbuseTable *abuse = nullptr;
    h2o_globalconf_t *globalconf = nullptr;
    int listen_fd = -1;
    int wake_fd[2] = {-1, -1};
    unsigned max_conns = 0;

    h2o_evloop_t *loop = nullptr;
    h2o_context_t ctx{};
    h2o_accept_ctx_t accept_ctx{};
    h2o_socket_t *listener = nullptr;
    h2o_socket_t *waker = nullptr;
    h2o_timeout_t idle_timeout{};
    h2o_timeout_t grace_timeout{};
    h2o_timeout_entry_t grace_entry{};
    h2o_linklist_t conns{};
    unsigned nconns = 0;
    bool accepting = false;
    bool stopping = false;
    bool done = false;
};

// The connection whose bytes H2O is processing right now on this thread;
// lets the handler find our bookkeeping without reaching into H2O.
thread_local Conn *t_current = nullptr;

void on_accept(h2o_socket_t *listener, const char *err);

std::int64_t wall_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}

void record_offence(Conn *c) {
    if (c->offence_recorded || c->worker->state->config.abuse_limit == 0) return;
    c->offence_recorded = true;
    c->worker->abuse->record(c->peer, wall_seconds());
}

// ------------------------------------------------------------ responses

void gen_proceed(h2o_generator_t *, h2o_req_t *) {}
void gen_stop(h2o_generator_t *, h2o_req_t *) {}
h2o_generator_t g_generator = {gen_proceed, gen_stop};

void respond(h2o_req_t *req, int status, const char *reason, const char *body, size_t len) {
    req->res.status = status;
    req->res.reason = reason;
    req->res.content_length = len;
    h2o_start_response(req, &g_generator);
    char *buf = static_cast<char *>(h2o_mem_alloc_pool(&req->pool, len + 1));
    std::memcpy(buf, body, len);
    h2o_iovec_t vec = h2o_iovec_init(buf, len);
    h2o_send(req, &vec, 1, H2O_SEND_STATE_FINAL);
}

void respond_time(h2o_req_t *req) {
    char *buf = static_cast<char *>(h2o_mem_alloc_pool(&req->pool, 32));
    // H2O wants the length before the response starts. The body length only
    // changes when the seconds gain a digit, so a first stamp gives it.
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    size_t len = format_time_body(ts, buf);
    req->res.status = 200;
    req->res.reason = "OK";
    req->res.content_length = len;
    h2o_start_response(req, &g_generator);
    // Stamp again as late as possible: only H2O's write is left after this.
    char late[32];
    clock_gettime(CLOCK_REALTIME, &ts);
    size_t late_len = format_time_body(ts, late);
    if (late_len == len) std::memcpy(buf, late, len);
    h2o_iovec_t vec = h2o_iovec_init(buf, len);
    h2o_send(req, &vec, 1, H2O_SEND_STATE_FINAL);
}

int on_request(h2o_handler_t *self, h2o_req_t *req) {
    auto *h = reinterpret_cast<Handler *>(self);
    const ServerState &st = *h->state;
    Conn *c = t_current;
    if (c != nullptr) c->handled = true;
    req->http1_is_persistent = 0;  // one request per connection, as the client does

    std::string_view method(req->method.base, req->method.len);
    std::string_view target(req->path.base, req->path.len);
    Route route = route_request(method, target);
    if (req->entity.base != nullptr) route = Route::NotFound;  // no request carries a body

    switch (route) {
    case Route::Banner:
        respond(req, 200, "OK", st.banner.data(), st.banner.size());
        return 0;
    case Route::NotFound:
        if (c != nullptr) record_offence(c);
        respond(req, 404, "Not Found", "not found", 9);
        return 0;
    case Route::Time:
        break;
    }

    auto q = target.find('?');
    TimeQuery tq = classify_time_query(target.substr(q + 1), st.minimum);
    if (tq.malformed && c != nullptr) record_offence(c);
    if (st.config.maintenance) {
        respond(req, 200, "OK", "~", 1);
    } else if (c != nullptr && st.config.abuse_limit != 0 && h->abuse->blocked(c->peer, wall_seconds())) {
        respond(req, 200, "OK", "^", 1);
    } else if (tq.needs_upgrade) {
        std::string body = "#" + st.config.download_path;
        respond(req, 200, "OK", body.data(), body.size());
    } else {
        respond_time(req);
    }
    return 0;
}

// ---------------------------------------------------------- connections

void maybe_finish(Worker *w) {
    if (w->stopping && w->nconns == 0) w->done = true;
}

void on_conn_close(void *data) {
    auto *c = static_cast<Conn *>(data);
    Worker *w = c->worker;
    // Sent something but never a complete, acceptable request: a request cut
    // off by a time-out or by the client.
    if (!c->handled && c->got_bytes) record_offence(c);
    if (h2o_timeout_is_linked(&c->idle_entry)) h2o_timeout_unlink(&c->idle_entry);
    h2o_linklist_unlink(&c->link);
    c->closed = true;
    if (!c->in_callback) delete c;  // else the caller deletes it
    --w->nconns;
    if (!w->accepting && !w->stopping && w->listener != nullptr) {
        w->accepting = true;
        h2o_socket_read_start(w->listener, on_accept);
    }
    maybe_finish(w);
}

// Runs H2O's read callback for the connection. Returns false when the
// connection was closed (and `c` freed) meanwhile.
bool call_h2o_read(Conn *c, const char *err) {
    h2o_socket_t *sock = c->sock;
    t_current = c;
    c->in_callback = true;
    c->h2o_read(sock, err);
    c->in_callback = false;
    t_current = nullptr;
    if (c->closed) {
        delete c;
        return false;
    }
    // H2O answered by itself (400 for an unparseable request) without
    // reaching our handler. Count it now, before the socket is closed, so
    // the client's next connection already sees the count.
    if (!c->handled && sock->bytes_written > 0) record_offence(c);
    return true;
}

// Closes the connection through H2O's own error path so its state is torn
// down properly.
void abort_conn(Conn *c, const char *why) {
    if (!c->handled && c->got_bytes) record_offence(c);
    call_h2o_read(c, why);
}

void on_conn_read(h2o_socket_t *sock, const char *err) {
    auto *c = static_cast<Conn *>(sock->on_close.data);
    if (err == nullptr && !c->handled) {
        if (sock->input->size != 0) {
            c->got_bytes = true;
            if (h2o_timeout_is_linked(&c->idle_entry)) h2o_timeout_unlink(&c->idle_entry);
        }
        if (sock->input->size > c->worker->state->config.max_request_bytes) err = "request too large";
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

void on_accept(h2o_socket_t *listener, const char *err) {
    auto *w = static_cast<Worker *>(listener->data);
    if (err != nullptr) return;
    for (int i = 0; i < 16 && w->nconns < w->max_conns; ++i) {
        h2o_socket_t *sock = h2o_evloop_socket_accept(listener);
        if (sock == nullptr) break;
        auto *c = new Conn;
        c->worker = w;
        c->sock = sock;
        struct sockaddr_storage ss;
        std::memset(&ss, 0, sizeof(ss));
        h2o_socket_getpeername(sock, reinterpret_cast<struct sockaddr *>(&ss));
        c->peer = make_addr_key(reinterpret_cast<struct sockaddr *>(&ss));
        c->idle_entry.cb = on_idle_timeout;
        h2o_linklist_insert(&w->conns, &c->link);
        ++w->nconns;
        sock->on_close.cb = on_conn_close;
        sock->on_close.data = c;
        t_current = c;
        h2o_accept(&w->accept_ctx, sock);
        t_current = nullptr;
        // Plain HTTP/1 connections are now waiting for the request with
        // H2O's read callback installed; put ours in front of it.
        c->h2o_read = sock->_cb.read;
        sock->_cb.read = on_conn_read;
        h2o_timeout_link(w->loop, &w->idle_timeout, &c->idle_entry);
    }
    if (w->nconns >= w->max_conns && w->accepting) {
        w->accepting = false;
        h2o_socket_read_stop(listener);
    }
}

void on_grace_over(h2o_timeout_entry_t *entry) {
    Worker *w = H2O_STRUCT_FROM_MEMBER(Worker, grace_entry, entry);
    while (!h2o_linklist_is_empty(&w->conns)) {
        Conn *c = H2O_STRUCT_FROM_MEMBER(Conn, link, w->conns.next);
        abort_conn(c, "shutting down");
    }
    w->done = true;
}

void on_wake(h2o_socket_t *sock, const char *) {
    auto *w = static_cast<Worker *>(sock->data);
    h2o_buffer_consume(&sock->input, sock->input->size);
    if (w->stopping) return;
    w->stopping = true;
    if (w->listener != nullptr) {
        h2o_socket_read_stop(w->listener);
        h2o_socket_close(w->listener);
        w->listener = nullptr;
        w->accepting = false;
    }
    // Connections that have not sent anything yet will not be missed.
    for (h2o_linklist_t *n = w->conns.next; n != &w->conns;) {
        Conn *c = H2O_STRUCT_FROM_MEMBER(Conn, link, n);
        n = n->next;
        if (!c->got_bytes && !c->handled) abort_conn(c, "shutting down");
    }
    h2o_timeout_link(w->loop, &w->grace_timeout, &w->grace_entry);
    maybe_finish(w);
}

void worker_main(Worker *w) {
    w->loop = h2o_evloop_create();
    h2o_context_init(&w->ctx, w->loop, w->globalconf);
    w->accept_ctx.ctx = &w->ctx;
    w->accept_ctx.hosts = w->globalconf->hosts;
    h2o_linklist_init_anchor(&w->conns);
    h2o_timeout_init(w->loop, &w->idle_timeout, w->state->config.idle_timeout_ms);
    h2o_timeout_init(w->loop, &w->grace_timeout, w->state->config.shutdown_grace_ms);
    w->grace_entry.cb = on_grace_over;

    w->waker = h2o_evloop_socket_create(w->loop, w->wake_fd[0], H2O_SOCKET_FLAG_DONT_READ);
    w->waker->data = w;
    h2o_socket_read_start(w->waker, on_wake);

    w->listener = h2o_evloop_socket_create(w->loop, w->listen_fd, H2O_SOCKET_FLAG_DONT_READ);
    w->listener->data = w;
    w->accepting = true;
    h2o_socket_read_start(w->listener, on_accept);

    while (!w->done) h2o_evloop_run(w->loop, INT32_MAX);

    if (h2o_timeout_is_linked(&w->grace_entry)) h2o_timeout_unlink(&w->grace_entry);
    h2o_socket_read_stop(w->waker);
    h2o_socket_close(w->waker);
    h2o_evloop_run(w->loop, 0);  // let the closed sockets be disposed
    h2o_context_dispose(&w->ctx);
    h2o_timeout_dispose(w->loop, &w->idle_timeout);
    h2o_timeout_dispose(w->loop, &w->grace_timeout);
    h2o_evloop_destroy(w->loop);
}

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

}  // namespace

int run_server(const ServerState &state) {
    const Config &cfg = state.config;
    struct sockaddr_storage addr;
    socklen_t addr_len;
    std::string error;
    if (!parse_listen_address(cfg.listen, addr, addr_len, error)) {
        std::fprintf(stderr, "oramet-timed: listen %s: %s\n", cfg.listen.c_str(), error.c_str());
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

    unsigned nworkers = cfg.workers != 0 ? cfg.workers : core_count();
    if (nworkers > cfg.max_connections) nworkers = cfg.max_connections;

    AbuseTable abuse(cfg.abuse_table_size, cfg.abuse_limit);

    h2o_globalconf_t globalconf;
    h2o_config_init(&globalconf);
    globalconf.server_name = h2o_iovec_init(H2O_STRLIT("oramet-timed"));
    globalconf.max_request_entity_size = cfg.max_request_bytes;
    globalconf.http1.req_timeout = cfg.read_timeout_ms;
    globalconf.http1.upgrade_to_http2 = 0;
    h2o_hostconf_t *host = h2o_config_register_host(&globalconf, h2o_iovec_init(H2O_STRLIT("default")), 65535);
    h2o_pathconf_t *path = h2o_config_register_path(host, "/", 0);
    auto *handler = reinterpret_cast<Handler *>(h2o_create_handler(path, sizeof(Handler)));
    handler->super.on_req = on_request;
    handler->state = &state;
    handler->abuse = &abuse;

    // Signals are taken by this thread with sigwait(); workers never see them.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<Worker>> workers;
    for (unsigned i = 0; i < nworkers; ++i) {
        auto w = std::make_unique<Worker>();
        w->state = &state;
        w->abuse = &abuse;
        w->globalconf = &globalconf;
        w->max_conns = (cfg.max_connections + nworkers - 1 - i) / nworkers;  // shares add up to the total
        w->listen_fd = open_listener(addr, addr_len, true, error);
        if (w->listen_fd < 0 || pipe2(w->wake_fd, O_NONBLOCK | O_CLOEXEC) != 0) {
            if (w->listen_fd >= 0) error = std::string("pipe: ") + std::strerror(errno);
            std::fprintf(stderr, "oramet-timed: cannot listen on %s: %s\n", cfg.listen.c_str(), error.c_str());
            return 1;
        }
        workers.push_back(std::move(w));
    }

    std::vector<std::thread> threads;
    for (auto &w : workers) threads.emplace_back(worker_main, w.get());
    std::fprintf(stderr, "oramet-timed: listening on %s with %u worker%s\n", cfg.listen.c_str(), nworkers,
                 nworkers == 1 ? "" : "s");

    int sig = 0;
    while (sigwait(&sigs, &sig) != 0) {
    }
    std::fprintf(stderr, "oramet-timed: %s received, shutting down\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
    for (auto &w : workers) {
        char b = 1;
        ssize_t n = write(w->wake_fd[1], &b, 1);
        (void)n;
    }
    for (auto &t : threads) t.join();
    for (auto &w : workers) close(w->wake_fd[1]);
    h2o_config_dispose(&globalconf);
    std::fprintf(stderr, "oramet-timed: stopped\n");
    return 0;
}

}  // namespace oramet
