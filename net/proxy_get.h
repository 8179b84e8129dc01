// The time and banner requests through the web proxy Windows has configured,
// for networks where only a proxy reaches the web. Made with the system's own
// WinHTTP, loaded on the first proxied request.
#pragma once
#include <cstdint>

// Whose proxy settings apply: the user's (Internet Options, as browsers use
// them), or the machine's WinHTTP proxy for a service, which has no user.
enum class ProxySettings { User, Machine };

// HttpGet, and when that failed before anything was sent (no address, socket
// or connection), the same request once more through the proxy the settings
// name for the host. The proxied result replaces the direct one only when it
// is a body; otherwise the direct result stands, with the buffer as HttpGet
// left it. Where no proxy is configured this is HttpGet.
int HttpGetOrProxy(ProxySettings settings, const char* host, const char* target, char* buffer,
                   int size, int32_t* roundTripMs);

// The proxied exchange alone: one GET of http://<host><target>, nothing
// followed, the whole body read. Returns its length (the body, terminated,
// then starts the buffer, which has room for size + 1 bytes), or
// kProxyNone, or one of HttpGet's failures; a status other than 200 is
// kHttpNoHeaderEnd. buffer and roundTripMs (from just before the request is
// sent to the end of the body) are written only for a body. target may lie
// inside buffer.
int ProxyGet(ProxySettings settings, const char* host, const char* target, char* buffer,
             int size, int32_t* roundTripMs);
