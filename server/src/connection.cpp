// A connection in H2O's hands: our read wrapper in front of H2O's, the
// size bound, the idle cut, offences, and the close.
#include "worker.hpp"

#include <cstring>

#include "tls.hpp"

namespace oramet {
namespace {

// Sent something but never a complete, acceptable request: a request cut
// off by a time-out, by the client or by us.
bool cut_off(const Conn *c) { return c->got_bytes && !c->handled && !c->refused && !c->awaiting_proxy; }

// Runs H2O's read callback for the connection. Returns false when the
// connection was closed (and `c` freed) meanwhile.
bool call_h2o_read(Conn *c, const char *err) {
    h2o_socket_t *sock = c->sock;
    Worker *w = c->worker;
    const bool reading_proxy_line = c->via_proxy && c->h2o_read != w->http1_reader;
    // A TLS connection's first request arrives while its handshake's frame
    // is still below: the outermost frame frees it.
    Conn *outer_current = t_current;
    const bool outer = c->in_callback;
    t_current = c;
    c->in_callback = true;
    c->h2o_read(sock, err);
    c->in_callback = outer;
    t_current = outer_current;
    if (c->closed) {
        if (!outer) delete c;
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
    if (!c->handled && !c->refused && sock->bytes_written > 0) {
        record_offence(c);
        if (!c->malformed_counted) {
            c->malformed_counted = true;
            w->counters.answered(AnswerKind::Malformed, AnswerPath::H2O);
            w->counters.replied_after(monotonic_us() - c->accepted_us);
        }
    }
    return true;
}

}  // namespace

void record_offence(Conn *c) {
    if (c->offence_recorded || c->worker->settings->config.abuse_limit == 0) return;
    c->offence_recorded = true;
    count_address_offence(*c->worker->shared, c->peer);
}

void on_conn_close(void *data) {
    auto *c = static_cast<Conn *>(data);
    Worker *w = c->worker;
    if (cut_off(c)) record_offence(c);
    // H2O closes a request that outlived read-timeout-ms without telling
    // why; a client that left earlier is no refusal. Both measure on the
    // loop's clock, so the one that fired the time-out is no earlier.
    if (!c->handled && !c->refused && !c->refusal_counted && !w->stopping &&
        h2o_now(w->loop) - c->opened_ms >= w->settings->config.read_timeout_ms)
        w->counters.refuse(Refusal::ReadTimeout);
    if (c->tls && c->tls_begun && !c->tls_done && !c->refused && !w->stopping)
        w->counters.tls_handshake_failures.add();
    if (h2o_timeout_is_linked(&c->tls_entry)) h2o_timeout_unlink(&c->tls_entry);
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

// Closes the connection through H2O's own error path so its state is torn
// down properly.
void abort_conn(Conn *c, const char *why) {
    if (cut_off(c)) record_offence(c);
    if (c->tls && !c->tls_done) {
        close_handshaking(c);
        return;
    }
    call_h2o_read(c, why);
}

void refuse_conn(Conn *c, Refusal why, const char *message) {
    if (!c->refusal_counted) {
        c->refusal_counted = true;
        c->worker->counters.refuse(why);
    }
    abort_conn(c, message);
}

void on_conn_read(h2o_socket_t *sock, const char *err) {
    auto *c = static_cast<Conn *>(sock->on_close.data);
    if (err == nullptr && !c->handled) {
        size_t size = sock->input->size;
        if (size != 0) {
            c->got_bytes = true;
            if (h2o_timeout_is_linked(&c->idle_entry)) h2o_timeout_unlink(&c->idle_entry);
        }
        if (size > c->worker->settings->config.max_request_bytes) {
            refuse_conn(c, Refusal::TooLarge, "request too large");
            return;
        }
        if (!c->via_proxy && size >= 6 && std::memcmp(sock->input->bytes, "PROXY ", 6) == 0) {
            // It would pass a forged client address.
            refuse_conn(c, Refusal::UnlistedProxy, "PROXY line from an address not listed");
            return;
        }
    }
    if (err != nullptr)
        abort_conn(c, err);
    else
        call_h2o_read(c, nullptr);
}

void on_idle_timeout(h2o_timeout_entry_t *entry) {
    Conn *c = H2O_STRUCT_FROM_MEMBER(Conn, idle_entry, entry);
    refuse_conn(c, Refusal::IdleCut, "idle timeout");
}

}  // namespace oramet
