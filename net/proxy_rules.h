// The pure side of the proxied exchange: which proxy of a list serves plain
// HTTP, and whether a host is exempt from it. No Windows header, so they build
// and run natively too.
#pragma once

// Results of the proxied exchange beyond HttpGet's own.
constexpr int kProxyNone = -7;  // no proxy applies to the host, or none could be asked

// Which way the last exchange that brought a reply went; Unknown until one
// has, in every new process.
enum class ExchangeRoute { Unknown, Direct, Proxy };

// Only an exchange that failed before anything was sent is worth a second try
// through a proxy: one that reached the server would reach it again.
constexpr bool FailedBeforeSending(int httpResult) {
  return httpResult <= -1 && httpResult >= -3;
}

// proxyList as Windows stores it: entries apart by ';' or white space, each
// "host[:port]" for every scheme or "scheme=host[:port]" for one, the address
// possibly written as "http://host[:port]". Writes the first address that
// serves http into out (capacity bytes, terminated) and returns its length;
// -1 when there is none or it does not fit.
int SelectHttpProxy(const char* proxyList, char* out, int capacity);
// The same for the scheme named ("http" or "https"): an entry
// "scheme=host[:port]" for it, or one for every scheme.
int SelectProxy(const char* proxyList, const char* scheme, char* out, int capacity);

// bypassList as Windows stores it: entries apart by ';' or white space, each a
// host pattern where '*' stands for any run of characters, compared without
// regard to case, or "<local>" for every host name without a dot.
bool BypassesProxy(const char* host, const char* bypassList);

// WinHTTP's auto-logon policy: High offers the Windows logon to no one, Low
// to any challenger, the time server's own 401 included.
enum class LogonPolicy { High, Low };

struct LogonStep {
  bool send;           // the request goes (once more)
  LogonPolicy policy;  // for that send
  bool proxyLogon;     // the logon is set for the proxy alone before it
};

// What the next send of a proxied request offers, after a reply of status
// (0: nothing sent yet) and resends earlier resends. Nothing at first, so
// that no path can harvest a logon with a forged challenge; only a proxy's
// 407, the first time, and only where there is a person's logon to offer
// (the program, not the service), gets one resend with it. Any other status
// ends the exchange with that reply.
LogonStep NextLogonStep(int status, int resends, bool personLogon);
