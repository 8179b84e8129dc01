// Accepting: the shared budget, the per-address cap and blocked addresses
// at the door, and the request read right after accept.
#include "worker.hpp"
#include "tls.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace oramet {
namespace {

// Blocked addresses and addresses at their cap are turned away at once.
bool admit_address(Worker *w, const AddrKey &key) {
    if (w->settings->config.abuse_limit != 0 && address_blocked(*w->shared, key)) {
        w->counters.refuse(Refusal::Blocked);
        return false;
    }
    if (!w->shared->budget.take_address(key)) {
        w->counters.refuse(Refusal::AddressCap);
        return false;
    }
    return true;
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

// Gives an admitted connection to H2O, with our bookkeeping beside it.
// `held` when the kernel held it silent for kDeferAcceptMs.
h2o_socket_t *open_connection(Worker *w, int fd, const AddrKey &key, bool via_proxy, bool held, bool tls,
                              std::uint64_t accepted_us) {
    h2o_socket_t *sock = h2o_evloop_socket_create(w->loop, fd, H2O_SOCKET_FLAG_IS_ACCEPTED_CONNECTION);
    auto *c = new Conn;
    c->worker = w;
    c->sock = sock;
    c->peer = key;
    c->via_proxy = c->awaiting_proxy = via_proxy;
    c->address_taken = !via_proxy;
    c->accepted_us = accepted_us;
    c->opened_ms = h2o_now(w->loop);
    c->idle_entry.cb = on_idle_timeout;
    h2o_linklist_insert(&w->conns, &c->link);
    ++w->nconns;
    sock->on_close.cb = on_conn_close;
    sock->on_close.data = c;
    if (tls) {
        start_tls(c);
    } else {
        t_current = c;
        h2o_accept(via_proxy ? &w->proxy_accept_ctx : &w->accept_ctx, sock);
        t_current = nullptr;
        // The connection now waits for its first bytes with H2O's read callback
        // (HTTP/1, or the PROXY line reader) installed; put ours in front of it.
        c->h2o_read = sock->_cb.read;
        sock->_cb.read = on_conn_read;
    }
    h2o_timeout_link(w->loop, held ? &w->held_idle_timeout : &w->idle_timeout, &c->idle_entry);
    return sock;
}

}  // namespace

void feed(h2o_socket_t *sock, const char *bytes, size_t len) {
    h2o_iovec_t buf = h2o_buffer_reserve(&sock->input, len);
    std::memcpy(buf.base, bytes, len);
    sock->input->size += len;
    sock->bytes_read += len;
    on_conn_read(sock, nullptr);
}

void on_retry_accept(h2o_timeout_entry_t *entry) {
    Worker *w = H2O_STRUCT_FROM_MEMBER(Worker, retry_entry, entry);
    start_accepting(w);
}

void start_accepting(Worker *w) {
    if (w->accepting || w->stopping || w->listener == nullptr || h2o_timeout_is_linked(&w->retry_entry)) return;
    w->accepting = true;
    h2o_socket_read_start(w->listener, on_accept);
    if (w->tls_listener != nullptr) h2o_socket_read_start(w->tls_listener, on_accept);
}

void stop_accepting(Worker *w) {
    if (!w->accepting) return;
    w->accepting = false;
    h2o_socket_read_stop(w->listener);
    if (w->tls_listener != nullptr) h2o_socket_read_stop(w->tls_listener);
}

// Returns a slot of the shared budget; when that makes room after a worker
// had to stop accepting, every worker takes up accepting again.
void give_slot(Worker *w, const AddrKey *address) {
    if (!w->shared->budget.give_slot(address)) return;
    for (Worker *other : w->shared->workers) {
        if (other == w)
            start_accepting(w);
        else
            ask(other, kResume);
    }
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

void on_accept(h2o_socket_t *listener, const char *err) {
    auto *w = static_cast<Worker *>(listener->data);
    if (err != nullptr) return;
    const Settings &st = *w->settings;
    // A TLS connection starts with its ClientHello, which only H2O's
    // handshake may read: no early read, no direct reply.
    const bool tls = listener == w->tls_listener;
    const int listen_fd = tls ? w->tls_listen_fd : w->listen_fd;
    // A few at a time: the requests of connections taken earlier are not
    // kept waiting behind a long run of new ones.
    constexpr int kBatch = 4;
    struct Accepted {
        int fd;
        AddrKey key;
        bool via_proxy;
        std::uint64_t accepted_us;
    } batch[kBatch];
    int n = 0;
    for (int i = 0; i < kBatch; ++i) {
        // Take the slot first: when the server is full the connection stays
        // in the kernel's queue until one frees up.
        if (!w->shared->budget.take_slot()) {
            w->counters.refuse(Refusal::ServerFull);
            stop_accepting(w);
            break;
        }
        // Accepting here rather than through H2O gives the client's address
        // with the connection, without asking the kernel again.
        struct sockaddr_storage ss;
        socklen_t len = sizeof(ss);
        int fd = accept4(listen_fd, reinterpret_cast<struct sockaddr *>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            int e = errno;
            give_slot(w);
            if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) pause_for_resources(w, e);
            break;
        }
        const std::uint64_t accepted_us = monotonic_us();
        w->counters.accepted.add();
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
        batch[n++] = {fd, key, via_proxy, accepted_us};
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
        const bool tried = !tls && (w->deferring || (reading && i + 1 < n));
        if (tried) {
            while ((got = read(a.fd, buf, sizeof(buf))) < 0 && errno == EINTR) {
            }
            silent = got < 0 && errno == EAGAIN;
            reading = got > 0;
        }
        // Gone without a word (a port probe, a health check), or answered:
        // either way there is nothing left to do with it.
        bool done = got > 0 ? !a.via_proxy && answer_directly(w, a.fd, a.key, std::string_view(buf, got), a.accepted_us)
                            : tried && !silent;
        if (done) {
            close(a.fd);
            give_slot(w, a.via_proxy ? nullptr : &a.key);
            continue;
        }
        h2o_socket_t *sock =
            open_connection(w, a.fd, a.key, a.via_proxy, w->deferring && silent, tls, a.accepted_us);
        if (got > 0) feed(sock, buf, static_cast<size_t>(got));
    }
}

}  // namespace oramet
