// TLS through H2O's own TLS (OpenSSL): the context built from the
// certificate and key, and a connection's way from accept to HTTP/1.
#include "tls.hpp"

#include <cstring>
#include <string_view>

#include <h2o/http1.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "worker.hpp"

namespace oramet {
namespace {

const h2o_iovec_t kAlpn[] = {{const_cast<char *>("http/1.1"), 8}, {nullptr, 0}};
constexpr unsigned char kSessionContext[] = "oramet-timed";
constexpr int kTicketKeyBytes = 80;  // name, HMAC and AES keys, as OpenSSL keeps them

// OpenSSL's reason for the last failure, and an empty error queue after.
std::string openssl_reason() {
    unsigned long e = ERR_peek_last_error();
    const char *reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : "unknown error";
}

void on_handshake_timeout(h2o_timeout_entry_t *entry) {
    Conn *c = H2O_STRUCT_FROM_MEMBER(Conn, tls_entry, entry);
    close_handshaking(c);
}

void on_handshake(h2o_socket_t *sock, const char *err);
void on_tls_read(h2o_socket_t *sock, const char *err);

// H2O installs its handshake reader anew as the handshake goes; ours stays
// in front of it for the first bytes.
void wrap_reader(Conn *c) {
    h2o_socket_t *sock = c->sock;
    if (sock->_cb.read == nullptr || sock->_cb.read == on_tls_read) return;
    c->h2o_read = sock->_cb.read;
    sock->_cb.read = on_tls_read;
}

void start_handshake(Conn *c) {
    c->awaiting_proxy = false;
    c->h2o_read = nullptr;
    // Bytes already read (the ClientHello sent with the PROXY line) go in with it.
    h2o_socket_ssl_handshake(c->sock, c->worker->settings->tls.get(), nullptr, on_handshake);
    if (!c->closed) wrap_reader(c);
}

// As H2O's accept reads it, but here, so that the handshake that follows is
// ours to see through; a listed proxy that sends no line is its own client.
void read_proxy_line(Conn *c) {
    h2o_socket_t *sock = c->sock;
    struct sockaddr_storage ss;
    socklen_t len = 0;
    int n = parse_proxy_line(std::string_view(sock->input->bytes, sock->input->size), ss, len);
    if (n == 0) return;
    if (n > 0) {
        h2o_buffer_consume(&sock->input, static_cast<size_t>(n));
        if (len != 0) h2o_socket_setpeername(sock, reinterpret_cast<struct sockaddr *>(&ss), len);
    }
    if (!admit_proxied(c)) {
        close_handshaking(c);
        return;
    }
    start_handshake(c);
}

void on_tls_read(h2o_socket_t *sock, const char *err) {
    auto *c = static_cast<Conn *>(sock->on_close.data);
    Worker *w = c->worker;
    if (err == nullptr && !c->tls_begun) {
        // No longer idle; the handshake now has read-timeout-ms, as a request has.
        c->tls_begun = true;
        if (h2o_timeout_is_linked(&c->idle_entry)) h2o_timeout_unlink(&c->idle_entry);
        h2o_timeout_link(w->loop, &w->ctx.handshake_timeout, &c->tls_entry);
    }
    c->in_callback = true;
    if (err != nullptr)
        close_handshaking(c);
    else if (c->awaiting_proxy)
        read_proxy_line(c);
    else
        c->h2o_read(sock, nullptr);
    c->in_callback = false;
    if (c->closed) {
        delete c;
        return;
    }
    if (!c->tls_done) wrap_reader(c);
}

// H2O's handshake is over. On success HTTP/1 takes the connection, as H2O's
// accept would hand it over, but with our read wrapper in front and the
// request bytes that came with the handshake fed through it.
void on_handshake(h2o_socket_t *sock, const char *err) {
    auto *c = static_cast<Conn *>(sock->on_close.data);
    Worker *w = c->worker;
    if (err != nullptr) {
        close_handshaking(c);
        return;
    }
    c->tls_done = true;
    w->counters.tls_handshakes.add();
    if (h2o_timeout_is_linked(&c->tls_entry)) h2o_timeout_unlink(&c->tls_entry);
    if (h2o_timeout_is_linked(&c->idle_entry)) h2o_timeout_unlink(&c->idle_entry);
    std::string early(sock->input->bytes, sock->input->size);
    h2o_buffer_consume(&sock->input, sock->input->size);
    const bool nested = c->in_callback;
    Conn *outer = t_current;
    t_current = c;
    c->in_callback = true;
    h2o_http1_accept(&w->accept_ctx, sock, *h2o_get_timestamp(&w->ctx, nullptr, nullptr));
    c->in_callback = nested;
    t_current = outer;
    c->h2o_read = sock->_cb.read;
    sock->_cb.read = on_conn_read;
    if (!early.empty()) feed(sock, early.data(), early.size());
}

}  // namespace

bool load_tls(const Config &cfg, SSL_CTX *previous, std::shared_ptr<SSL_CTX> &out, std::string &error) {
    ERR_clear_error();
    std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx.get(), TLS1_3_VERSION) != 1) {
        error = "tls: cannot set up OpenSSL: " + openssl_reason();
        return false;
    }
    // The whole chain is sent: a client that had to fetch a missing
    // intermediate would wait for it outside any of its time-outs.
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), cfg.tls_certificate.c_str()) != 1) {
        error = "tls-certificate " + cfg.tls_certificate + ": cannot load: " + openssl_reason();
        return false;
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(cfg.tls_key.c_str(), "r"), BIO_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
    if (!key) {
        error = "tls-key " + cfg.tls_key + ": cannot load: " + openssl_reason();
        return false;
    }
    if (X509_check_private_key(SSL_CTX_get0_certificate(ctx.get()), key.get()) != 1) {
        ERR_clear_error();
        error = "tls-key " + cfg.tls_key + " does not belong to the certificate in " + cfg.tls_certificate;
        return false;
    }
    if (SSL_CTX_use_PrivateKey(ctx.get(), key.get()) != 1) {
        error = "tls-key " + cfg.tls_key + ": " + openssl_reason();
        return false;
    }
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // Resumption: tickets, which any worker can take back, and the server's
    // own cache of sessions for clients without them.
    SSL_CTX_set_session_id_context(ctx.get(), kSessionContext, sizeof(kSessionContext) - 1);
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_SERVER);
    if (previous != nullptr) {
        unsigned char keys[kTicketKeyBytes];
        if (SSL_CTX_get_tlsext_ticket_keys(previous, keys, sizeof(keys)) == 1)
            SSL_CTX_set_tlsext_ticket_keys(ctx.get(), keys, sizeof(keys));
        OPENSSL_cleanse(keys, sizeof(keys));
    }
    h2o_ssl_register_alpn_protocols(ctx.get(), kAlpn);
    ERR_clear_error();
    out = std::move(ctx);
    return true;
}

void start_tls(Conn *c) {
    c->tls = true;
    c->tls_entry.cb = on_handshake_timeout;
    if (c->awaiting_proxy) {
        h2o_socket_read_start(c->sock, on_tls_read);
        return;
    }
    start_handshake(c);
}

// As H2O's own accept time-out closes a handshake: whatever its stage, the
// socket goes at once (OpenSSL refuses a close_notify during a handshake).
void close_handshaking(Conn *c) {
    if (h2o_timeout_is_linked(&c->tls_entry)) h2o_timeout_unlink(&c->tls_entry);
    h2o_socket_close(c->sock);
    // The refused shutdown leaves an error behind; the thread's next
    // connection must not see it.
    ERR_clear_error();
}

}  // namespace oramet
