// TLS: the certificate and key in OpenSSL's context, and a connection's
// handshake through H2O's TLS before HTTP/1 takes it over.
#pragma once

#include <memory>
#include <string>

#include <h2o.h>

#include "config.hpp"

namespace oramet {

struct Conn;

// A context for TLS 1.2 and 1.3, ALPN http/1.1 and session resumption, with
// tls-certificate (the certificate, then its chain, all of which is sent)
// and tls-key, which must belong to it. `previous`, the context in use before
// a reload, lends its session-ticket keys, so that clients resume across the
// reload. False, with the reason in `error`, when the pair does not load.
bool load_tls(const Config &cfg, SSL_CTX *previous, std::shared_ptr<SSL_CTX> &out, std::string &error);

// A TLS connection's first reads: the PROXY line where one is expected, then
// H2O's handshake; HTTP/1 takes over once it completes.
void start_tls(Conn *c);

// Closes a connection whose handshake has not completed.
void close_handshaking(Conn *c);

}  // namespace oramet
