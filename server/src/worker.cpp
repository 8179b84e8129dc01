// A worker: one event loop on its own thread with its own listening socket;
// what other threads ask of it, and its stop.
#include "worker.hpp"

#include <cstdio>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace oramet {
namespace {

void on_grace_over(h2o_timeout_entry_t *entry) {
    Worker *w = H2O_STRUCT_FROM_MEMBER(Worker, grace_entry, entry);
    while (!h2o_linklist_is_empty(&w->conns)) {
        Conn *c = H2O_STRUCT_FROM_MEMBER(Conn, link, w->conns.next);
        abort_conn(c, "shutting down");
    }
    w->done = true;
}

void stop_worker(Worker *w) {
    w->stopping = true;
    if (w->listener != nullptr) {
        stop_accepting(w);
        h2o_socket_close(w->listener);
        w->listener = nullptr;
    }
    if (w->tls_listener != nullptr) {
        h2o_socket_close(w->tls_listener);
        w->tls_listener = nullptr;
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
        Shared &shared = *w->shared;
        std::uint64_t generation;
        {
            std::lock_guard<std::mutex> lock(shared.running_mutex);
            w->settings = shared.current();
            generation = shared.generation;
        }
        apply_timeouts(w);
        {
            std::lock_guard<std::mutex> lock(shared.running_mutex);
            w->generation = generation;
        }
        shared.running_cv.notify_all();
    }
    if (what & (kReload | kResume)) start_accepting(w);
}

void on_beat(h2o_timeout_entry_t *entry) {
    Worker *w = H2O_STRUCT_FROM_MEMBER(Worker, beat_entry, entry);
    w->beat_us.store(static_cast<std::int64_t>(monotonic_us()), std::memory_order_relaxed);
    h2o_timeout_link(w->loop, &w->beat_timeout, &w->beat_entry);
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

}  // namespace

std::int64_t wall_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}

std::uint64_t monotonic_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

bool address_blocked(Shared &shared, const AddrKey &key) {
    const std::int64_t now = wall_seconds();
    return shared.abuse.blocked(key, now) || (shared.store && shared.store->blocked(key, now));
}

void count_address_offence(Shared &shared, const AddrKey &key) {
    shared.abuse.record(key, wall_seconds());
    if (shared.store) shared.store->offend(key);
}

bool workers_beating(const Shared &shared, std::uint64_t window_us) {
    const std::int64_t now = static_cast<std::int64_t>(monotonic_us());
    for (const Worker *w : shared.workers)
        if (now - w->beat_us.load(std::memory_order_relaxed) > static_cast<std::int64_t>(window_us)) return false;
    return true;
}

void ask(Worker *w, unsigned what) {
    w->asked.fetch_or(what);
    char b = 1;
    // A full pipe already holds a wake-up; the bits carry the request.
    ssize_t n = write(w->wake_fd[1], &b, 1);
    (void)n;
}

bool defer_accept(int listen_fd, unsigned idle_timeout_ms) {
    int defer_seconds = idle_timeout_ms >= kDeferAcceptMs ? static_cast<int>(kDeferAcceptMs / 1000) : 0;
    return setsockopt(listen_fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer_seconds, sizeof(defer_seconds)) == 0 &&
           defer_seconds != 0;
}

void apply_timeouts(Worker *w) {
    const Config &cfg = w->settings->config;
    // H2O measures each entry against the timeout's current value, so
    // connections already waiting get the new one too.
    w->idle_timeout.timeout = cfg.idle_timeout_ms;
    w->deferring = defer_accept(w->listen_fd, cfg.idle_timeout_ms);
    w->held_idle_timeout.timeout = w->deferring ? cfg.idle_timeout_ms - kDeferAcceptMs : cfg.idle_timeout_ms;
    w->grace_timeout.timeout = cfg.shutdown_grace_ms;
    w->ctx.http1.req_timeout.timeout = cfg.read_timeout_ms;
    w->ctx.handshake_timeout.timeout = cfg.read_timeout_ms;
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
    if (w->tls_listen_fd >= 0) {
        w->tls_listener = h2o_evloop_socket_create(w->loop, w->tls_listen_fd, H2O_SOCKET_FLAG_DONT_READ);
        w->tls_listener->data = w;
    }
    start_accepting(w);

    // The watchdog hears from the main thread only while every loop beats.
    h2o_timeout_init(w->loop, &w->beat_timeout, w->shared->beat_ms);
    w->beat_entry.cb = on_beat;
    w->beat_us.store(static_cast<std::int64_t>(monotonic_us()), std::memory_order_relaxed);
    if (w->shared->beat_ms != 0) h2o_timeout_link(w->loop, &w->beat_timeout, &w->beat_entry);
    {
        std::lock_guard<std::mutex> lock(w->shared->running_mutex);
        ++w->shared->running;
    }
    w->shared->running_cv.notify_all();

    while (!w->done) h2o_evloop_run(w->loop, INT32_MAX);

    if (h2o_timeout_is_linked(&w->grace_entry)) h2o_timeout_unlink(&w->grace_entry);
    if (h2o_timeout_is_linked(&w->beat_entry)) h2o_timeout_unlink(&w->beat_entry);
    h2o_socket_read_stop(w->waker);
    h2o_socket_close(w->waker);
    h2o_evloop_run(w->loop, 0);  // let the closed sockets be disposed
    h2o_context_dispose(&w->ctx);
    h2o_timeout_dispose(w->loop, &w->idle_timeout);
    h2o_timeout_dispose(w->loop, &w->held_idle_timeout);
    h2o_timeout_dispose(w->loop, &w->grace_timeout);
    h2o_timeout_dispose(w->loop, &w->retry_timeout);
    h2o_timeout_dispose(w->loop, &w->beat_timeout);
    h2o_evloop_destroy(w->loop);
}

}  // namespace oramet
