// The time and banner requests to the server the Server setting names,
// straight or through the web proxy Windows has configured, for networks
// where only a proxy reaches the web. A plain host gets HttpGet's exchange;
// an https server, and every proxied request, the system's own WinHTTP,
// loaded on the first such request.
#pragma once
#include <cstdint>

#include "net/proxy_rules.h"

// Whose proxy settings apply: the user's (Internet Options, as browsers use
// them), or the machine's WinHTTP proxy for a service, which has no user.
enum class ProxySettings { User, Machine };

// An HTTPS server's certificate, kept for a check at another time than now.
class ServerCertificate {
public:
  ServerCertificate() = default;
  ~ServerCertificate();
  ServerCertificate(const ServerCertificate&) = delete;
  ServerCertificate& operator=(const ServerCertificate&) = delete;

  // Keeps context (a PCCERT_CONTEXT the caller hands over).
  void Take(const void* context);
  // True when the chain verifies at unixSeconds, not at the PC's own time,
  // to a root the machine trusts, and the SSL policy accepts it for host.
  bool VerifiesAt(const char* host, int64_t unixSeconds) const;

private:
  const void* context_ = nullptr;
};

struct ServerRequest {
  ProxySettings settings;
  ExchangeRoute* route;                      // the way that worked last; kept up to date
  const char* server;                // the Server setting
  const char* target;                // may lie inside the buffer
  ServerCertificate* certificate;    // receives an HTTPS server's; may be null
};

// The direct exchange, and when that failed before anything was sent (no
// address, socket or connection), the same request once more through the
// proxy the settings name for the host; when the proxy brought the last
// reply, the proxy first and then the direct exchange. The result is
// HttpGet's: the body's length (the body, terminated, then starts the
// buffer, which has room for size + 1 bytes), or a failure. The proxied
// result replaces the direct one only when it is a body; otherwise the
// direct result stands, with the buffer as the direct exchange left it.
// Over https the certificate must chain to a trusted root and name the
// host; only its dates are not checked, and a refusal is never followed by
// plain HTTP. roundTripMs runs from the request's last sending to the end
// of the reply.
int ServerGet(const ServerRequest& request, char* buffer, int size, int32_t* roundTripMs);
