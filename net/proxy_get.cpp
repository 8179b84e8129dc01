#include "net/proxy_get.h"

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "net/http_get.h"
#include "net/http_reply.h"
#include "net/proxy_rules.h"
#include "net/server_address.h"

namespace {

constexpr wchar_t kAgent[] = L"Horalin";
constexpr DWORD kLimitMs = 5000;  // the direct exchange's connect and receive limits
constexpr int kHostCapacity = 256;

// WinHTTP's entry points, found at run time: a PC that needs neither a proxy
// nor HTTPS never loads the DLL, and the program's imports stay what they were.
struct WinHttp {
  decltype(&WinHttpOpen) open;
  decltype(&WinHttpCloseHandle) closeHandle;
  decltype(&WinHttpSetTimeouts) setTimeouts;
  decltype(&WinHttpSetOption) setOption;
  decltype(&WinHttpQueryOption) queryOption;
  decltype(&WinHttpSetStatusCallback) setStatusCallback;
  decltype(&WinHttpConnect) connect;
  decltype(&WinHttpOpenRequest) openRequest;
  decltype(&WinHttpAddRequestHeaders) addRequestHeaders;
  decltype(&WinHttpSendRequest) sendRequest;
  decltype(&WinHttpReceiveResponse) receiveResponse;
  decltype(&WinHttpQueryHeaders) queryHeaders;
  decltype(&WinHttpQueryAuthSchemes) queryAuthSchemes;
  decltype(&WinHttpSetCredentials) setCredentials;
  decltype(&WinHttpReadData) readData;
  decltype(&WinHttpGetIEProxyConfigForCurrentUser) getUserProxy;
  decltype(&WinHttpGetProxyForUrl) getProxyForUrl;
  decltype(&WinHttpGetDefaultProxyConfiguration) getMachineProxy;
};

template <typename Function>
bool Find(HMODULE dll, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
  return *function != nullptr;
}

// The process keeps the DLL once loaded: WinHTTP may keep threads of its own
// after the last handle closes. One table for the process, filled once; both
// programs make their exchanges on one thread.
const WinHttp* LoadWinHttp() {
  static WinHttp calls;
  static bool loaded;
  if (loaded) return &calls;
  // By its full path: winhttp.dll is not among the DLLs Windows always takes
  // from the system folder, and a copy beside the program must not be used.
  char path[MAX_PATH + 16];
  UINT length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  lstrcpyA(path + length, "\\winhttp.dll");
  HMODULE dll = LoadLibraryA(path);
  if (dll == nullptr) return nullptr;
  WinHttp found{};
  bool complete = Find(dll, "WinHttpOpen", &found.open) &&
                  Find(dll, "WinHttpCloseHandle", &found.closeHandle) &&
                  Find(dll, "WinHttpSetTimeouts", &found.setTimeouts) &&
                  Find(dll, "WinHttpSetOption", &found.setOption) &&
                  Find(dll, "WinHttpQueryOption", &found.queryOption) &&
                  Find(dll, "WinHttpSetStatusCallback", &found.setStatusCallback) &&
                  Find(dll, "WinHttpConnect", &found.connect) &&
                  Find(dll, "WinHttpOpenRequest", &found.openRequest) &&
                  Find(dll, "WinHttpAddRequestHeaders", &found.addRequestHeaders) &&
                  Find(dll, "WinHttpSendRequest", &found.sendRequest) &&
                  Find(dll, "WinHttpReceiveResponse", &found.receiveResponse) &&
                  Find(dll, "WinHttpQueryHeaders", &found.queryHeaders) &&
                  Find(dll, "WinHttpQueryAuthSchemes", &found.queryAuthSchemes) &&
                  Find(dll, "WinHttpSetCredentials", &found.setCredentials) &&
                  Find(dll, "WinHttpReadData", &found.readData) &&
                  Find(dll, "WinHttpGetIEProxyConfigForCurrentUser", &found.getUserProxy) &&
                  Find(dll, "WinHttpGetProxyForUrl", &found.getProxyForUrl) &&
                  Find(dll, "WinHttpGetDefaultProxyConfiguration", &found.getMachineProxy);
  if (!complete) {
    FreeLibrary(dll);
    return nullptr;
  }
  calls = found;
  loaded = true;
  return &calls;
}

// Owns one WinHTTP handle.
class InternetHandle {
public:
  InternetHandle(const WinHttp& winHttp, HINTERNET handle) : winHttp_(winHttp), handle_(handle) {}
  ~InternetHandle() {
    if (handle_ != nullptr) winHttp_.closeHandle(handle_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET get() const { return handle_; }

private:
  const WinHttp& winHttp_;
  HINTERNET handle_;
};

// Owns a string WinHTTP allocated for the caller.
class GlobalText {
public:
  explicit GlobalText(wchar_t* text) : text_(text) {}
  ~GlobalText() {
    if (text_ != nullptr) GlobalFree(text_);
  }
  GlobalText(const GlobalText&) = delete;
  GlobalText& operator=(const GlobalText&) = delete;

private:
  wchar_t* text_;
};

// A list as WinHTTP gives it, in a buffer of its own length: group policy
// pushes exceptions lists of several kilobytes. Empty for none; false only
// when it cannot be converted or no memory is left.
bool ToNarrow(const wchar_t* text, std::unique_ptr<char[]>* out) {
  int length = text == nullptr ? 1 : WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0,
                                                         nullptr, nullptr);
  if (length <= 0) return false;
  out->reset(new (std::nothrow) char[static_cast<size_t>(length)]);
  if (!*out) return false;
  (*out)[0] = '\0';
  return text == nullptr ||
         WideCharToMultiByte(CP_ACP, 0, text, -1, out->get(), length, nullptr, nullptr) > 0;
}

bool ToWide(const char* text, wchar_t* out, int capacity) {
  return MultiByteToWideChar(CP_ACP, 0, text, -1, out, capacity) > 0;
}

// The http proxy of a list, unless the bypass list exempts host. proxy
// receives it as "host[:port]".
bool ChooseProxy(const char* host, const char* scheme, const wchar_t* proxyList,
                 const wchar_t* bypassList, wchar_t* proxy, int capacity) {
  std::unique_ptr<char[]> list;
  std::unique_ptr<char[]> bypass;
  char chosen[kHostCapacity];
  if (!ToNarrow(proxyList, &list) || !ToNarrow(bypassList, &bypass)) return false;
  if (BypassesProxy(host, bypass.get())) return false;
  if (SelectProxy(list.get(), scheme, chosen, sizeof chosen) < 0) return false;
  return ToWide(chosen, proxy, capacity);
}

// The user's settings: a script or automatic detection decides for the URL
// when one is configured and works; otherwise the fixed proxy with its bypass
// list applies, as in the browsers that share these settings.
bool FindUserProxy(const WinHttp& winHttp, const char* host, const char* scheme,
                   const wchar_t* url, wchar_t* proxy, int capacity) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (!winHttp.getUserProxy(&config)) return false;
  GlobalText scriptUrl(config.lpszAutoConfigUrl);
  GlobalText fixed(config.lpszProxy);
  GlobalText fixedBypass(config.lpszProxyBypass);

  if (config.fAutoDetect || config.lpszAutoConfigUrl != nullptr) {
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (config.fAutoDetect) {
      options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
      options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (config.lpszAutoConfigUrl != nullptr) {
      options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
      options.lpszAutoConfigUrl = config.lpszAutoConfigUrl;
    }
    options.fAutoLogonIfChallenged = TRUE;
    InternetHandle lookup(winHttp,
                          winHttp.open(kAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (lookup.get() != nullptr) {
      // Ignored: without them the script's download waits WinHTTP's defaults.
      winHttp.setTimeouts(lookup.get(), kLimitMs, kLimitMs, kLimitMs, kLimitMs);
      WINHTTP_PROXY_INFO info{};
      if (winHttp.getProxyForUrl(lookup.get(), url, &options, &info)) {
        GlobalText scriptProxy(info.lpszProxy);
        GlobalText scriptBypass(info.lpszProxyBypass);
        // The script has spoken, also when it says DIRECT.
        return info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
               ChooseProxy(host, scheme, info.lpszProxy, info.lpszProxyBypass, proxy, capacity);
      }
    }
  }
  return config.lpszProxy != nullptr &&
         ChooseProxy(host, scheme, config.lpszProxy, config.lpszProxyBypass, proxy, capacity);
}

// The machine's WinHTTP proxy, as `netsh winhttp set proxy` stores it.
bool FindMachineProxy(const WinHttp& winHttp, const char* host, const char* scheme,
                      wchar_t* proxy, int capacity) {
  WINHTTP_PROXY_INFO info{};
  if (!winHttp.getMachineProxy(&info)) return false;
  GlobalText list(info.lpszProxy);
  GlobalText bypass(info.lpszProxyBypass);
  return info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy != nullptr &&
         ChooseProxy(host, scheme, info.lpszProxy, info.lpszProxyBypass, proxy, capacity);
}

// When the request last went out. WinHttpSendRequest also resolves the
// proxy's name and connects to it (and makes the TLS handshake), which the
// round trip must not hold: half of it would be added to the server's time.
// So the round trip starts at the last "request sent" report before the
// reply's head, as the direct exchange's starts at its send; a 407 and its
// resend report it twice. WinHTTP makes these reports in synchronous mode
// too, on the sending thread.
struct SendClock {
  clock_t sentAt = 0;
  bool sent = false;
};

void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, void*, DWORD) {
  if (status != WINHTTP_CALLBACK_STATUS_REQUEST_SENT || context == 0) return;
  SendClock* clock = reinterpret_cast<SendClock*>(context);
  // msvcrt's clock counts elapsed real time in milliseconds, as for HttpGet.
  clock->sentAt = ::clock();
  clock->sent = true;
}

// Has WinHTTP report each send of request into sendClock.
bool WatchSends(const WinHttp& winHttp, HINTERNET request, SendClock* sendClock) {
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(sendClock);
  return winHttp.setOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) &&
         winHttp.setStatusCallback(request, OnRequestStatus, WINHTTP_CALLBACK_FLAG_SEND_REQUEST,
                                   0) != WINHTTP_INVALID_STATUS_CALLBACK;
}

// A proxy that asks for authentication gets the user's Windows logon, never
// a prompt: true when the request may be sent once more with it.
bool OfferLogon(const WinHttp& winHttp, HINTERNET request) {
  DWORD supported = 0;
  DWORD first = 0;
  DWORD target = 0;
  if (!winHttp.queryAuthSchemes(request, &supported, &first, &target) ||
      target != WINHTTP_AUTH_TARGET_PROXY)
    return false;
  DWORD scheme = (supported & WINHTTP_AUTH_SCHEME_NEGOTIATE) ? WINHTTP_AUTH_SCHEME_NEGOTIATE
                 : (supported & WINHTTP_AUTH_SCHEME_NTLM)    ? WINHTTP_AUTH_SCHEME_NTLM
                                                             : 0;
  // No name and password: the logged-on user's own credentials.
  return scheme != 0 && winHttp.setCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr,
                                               nullptr, nullptr);
}

// One way to the server: through a proxy or not, over TLS or not.
struct Way {
  const wchar_t* proxy;  // "host[:port]"; null: straight to the server
  bool secure;
  INTERNET_PORT port;
};

// Maps a failed WinHttpSendRequest to HttpGet's results: only a name that
// did not resolve or a connection that was not made lies before anything
// was sent. A refused certificate or a TLS failure is a failure of its own
// kind, which no other way is tried after.
int SendFailure(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return kHttpNoAddress;
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_TIMEOUT: return kHttpNoConnection;
    default: return kHttpSendIncomplete;
  }
}

// Only TLS 1.2 and 1.3, asked for by name: older Windows offers TLS 1.2
// only when asked, and one that does not know 1.3 refuses the option with
// it, so 1.2 alone is asked then.
bool AskModernTls(const WinHttp& winHttp, HINTERNET session) {
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (winHttp.setOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols))
    return true;
  protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
  return winHttp.setOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                           sizeof protocols) != FALSE;
}

// One GET of target from host by way, nothing followed, the whole body
// read: ProxyGet's results. The certificate of a TLS server goes to
// certificate when one is wanted.
int WinHttpGet(const WinHttp& winHttp, ProxySettings settings, const Way& way,
               const wchar_t* host, const wchar_t* target, char* buffer, int size,
               int32_t* roundTripMs, ServerCertificate* certificate) {
  InternetHandle session(winHttp, way.proxy != nullptr
                                      ? winHttp.open(kAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                                                     way.proxy, WINHTTP_NO_PROXY_BYPASS, 0)
                                      : winHttp.open(kAgent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                                     WINHTTP_NO_PROXY_NAME,
                                                     WINHTTP_NO_PROXY_BYPASS, 0));
  if (session.get() == nullptr) return kHttpNoSocket;
  // The direct exchange's limits: 5 s to connect, 5 s for the reply.
  if (!winHttp.setTimeouts(session.get(), kLimitMs, kLimitMs, kLimitMs, kLimitMs))
    return kHttpNoSocket;
  DWORD responseLimit = kLimitMs;
  // Not every WinHTTP knows this one; the receive limit then bounds the wait.
  winHttp.setOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseLimit,
                    sizeof responseLimit);
  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  bool staysPut = winHttp.setOption(session.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirects,
                                    sizeof redirects) != FALSE;
  if (way.secure && !AskModernTls(winHttp, session.get())) return kHttpNoSocket;

  InternetHandle connection(winHttp, winHttp.connect(session.get(), host, way.port, 0));
  if (connection.get() == nullptr) return kHttpNoSocket;
  InternetHandle request(winHttp,
                         winHttp.openRequest(connection.get(), L"GET", target, nullptr,
                                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             way.secure ? WINHTTP_FLAG_SECURE : 0));
  if (request.get() == nullptr) return kHttpNoSocket;
  // No redirect is followed and no cookie kept (a fresh session has none to
  // send). Not every WinHTTP knows both ways of refusing redirects: either will do.
  DWORD features = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS;
  staysPut = winHttp.setOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features,
                               sizeof features) != FALSE || staysPut;
  if (!staysPut) return kHttpNoSocket;
  if (way.secure) {
    // The chain and the name are checked in full. Only the validity dates
    // are not: a clock that is wrong is what we are asking to mend, and a PC
    // a year off must still be able to put itself right.
    DWORD relaxed = SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    if (!winHttp.setOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &relaxed,
                           sizeof relaxed))
      return kHttpNoSocket;
  }
  // So that no cache on the way answers with an old time.
  if (!winHttp.addRequestHeaders(request.get(), L"Cache-Control: no-cache\r\nPragma: no-cache",
                                 static_cast<DWORD>(-1L),
                                 WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
    return kHttpSendIncomplete;

  SendClock sendClock;
  if (!WatchSends(winHttp, request.get(), &sendClock)) return kHttpNoSocket;
  DWORD status = 0;
  // The service has no logon of a person to offer.
  bool personLogon = settings == ProxySettings::User;
  LogonStep step = NextLogonStep(0, 0, personLogon);
  for (int resends = 0; step.send; ++resends) {
    DWORD logon = step.policy == LogonPolicy::Low ? WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW
                                                  : WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
    if (!winHttp.setOption(request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof logon))
      return kHttpNoSocket;
    // The 407 stands when the proxy offers no scheme the logon can answer.
    if (step.proxyLogon && !OfferLogon(winHttp, request.get())) break;
    sendClock.sent = false;
    if (!winHttp.sendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                             WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
      return SendFailure(GetLastError());
    if (!winHttp.receiveResponse(request.get(), nullptr)) return kHttpNothingReceived;
    // Without the report there is no start to measure from; a start taken
    // before the send would set the clock ahead.
    if (!sendClock.sent) return kHttpSendIncomplete;
    DWORD statusSize = sizeof status;
    if (!winHttp.queryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                              WINHTTP_NO_HEADER_INDEX))
      return kHttpNoHeaderEnd;
    step = NextLogonStep(static_cast<int>(status), resends, personLogon);
  }
  // An error page of the proxy or the server is no time and no banner.
  if (status != HTTP_STATUS_OK) return kHttpNoHeaderEnd;

  // Read whole into a buffer of its own, so that a failure half-way leaves
  // the caller's as it was.
  std::unique_ptr<char[]> body(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
  if (!body) return kHttpNothingReceived;
  int length = 0;
  while (length < size) {
    DWORD read = 0;
    if (!winHttp.readData(request.get(), body.get() + length, static_cast<DWORD>(size - length),
                          &read))
      return kHttpNothingReceived;
    if (read == 0) break;
    length += static_cast<int>(read);
  }
  clock_t t1 = clock();
  if (way.secure && certificate != nullptr) {
    PCCERT_CONTEXT context = nullptr;
    DWORD contextSize = sizeof context;
    // Without it the time is merely not known to be authentic.
    if (winHttp.queryOption(request.get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &context,
                            &contextSize))
      certificate->Take(context);
  }
  body[length] = '\0';
  std::memcpy(buffer, body.get(), static_cast<size_t>(length) + 1);
  // Unsigned, as HttpGet's, for the wrap of clock's 32-bit count.
  *roundTripMs =
      static_cast<int32_t>(static_cast<uint32_t>(t1) - static_cast<uint32_t>(sendClock.sentAt));
  return length;
}

// The target as WinHTTP takes it. Converted before anything is written: the
// target may lie in buffer.
struct WideRequest {
  wchar_t host[kServerHostCapacity];
  wchar_t target[kRequestCapacity];
};

bool Widen(const ServerAddress& address, const char* target, WideRequest* wide) {
  return ToWide(address.host, wide->host, kServerHostCapacity) &&
         ToWide(target, wide->target, kRequestCapacity);
}

// The exchange through the proxy the settings name for the address, or
// kProxyNone.
int ProxyGet(ProxySettings settings, const ServerAddress& address, const WideRequest& wide,
             char* buffer, int size, int32_t* roundTripMs, ServerCertificate* certificate) {
  const char* scheme = address.secure ? "https" : "http";
  wchar_t url[kServerHostCapacity + 32];
  // The port only where it is not the scheme's own, as a browser writes it.
  if (address.secure && address.port != kHttpsPort)
    wsprintfW(url, L"https://%s:%d/", wide.host, address.port);
  else
    wsprintfW(url, L"%hs://%s/", scheme, wide.host);
  const WinHttp* winHttp = LoadWinHttp();
  if (winHttp == nullptr) return kProxyNone;
  wchar_t proxy[kHostCapacity];
  bool found = settings == ProxySettings::User
                   ? FindUserProxy(*winHttp, address.host, scheme, url, proxy, kHostCapacity)
                   : FindMachineProxy(*winHttp, address.host, scheme, proxy, kHostCapacity);
  if (!found) return kProxyNone;
  // Over TLS WinHTTP asks the proxy for a tunnel (CONNECT): the proxy sees
  // the host, never the exchange.
  Way way{proxy, address.secure, static_cast<INTERNET_PORT>(address.port)};
  return WinHttpGet(*winHttp, settings, way, wide.host, wide.target, buffer, size, roundTripMs,
                    certificate);
}

// The exchange without a proxy: HttpGet's, byte for byte, for a plain host;
// WinHTTP's over TLS for https.
int DirectGet(ProxySettings settings, const ServerAddress& address, const char* plainHost,
              const WideRequest& wide, const char* target, char* buffer, int size,
              int32_t* roundTripMs, ServerCertificate* certificate) {
  if (!address.secure) return HttpGet(plainHost, target, buffer, size, roundTripMs);
  const WinHttp* winHttp = LoadWinHttp();
  if (winHttp == nullptr) return kHttpNoSocket;
  Way way{nullptr, true, static_cast<INTERNET_PORT>(address.port)};
  return WinHttpGet(*winHttp, settings, way, wide.host, wide.target, buffer, size, roundTripMs,
                    certificate);
}

}  // namespace

int ServerGet(const ServerRequest& request, char* buffer, int size, int32_t* roundTripMs) {
  ServerAddress address;
  if (!ReadServerAddress(request.server, &address)) return kHttpNoAddress;
  WideRequest wide;
  if (!Widen(address, request.target, &wide)) return kHttpSendIncomplete;
  ExchangeRoute& route = *request.route;
  ServerCertificate* certificate = request.certificate;
  // The way that worked last goes first: on a network that silently drops
  // the direct way, every exchange would otherwise wait out its connect.
  if (route == ExchangeRoute::Proxy) {
    int proxied = ProxyGet(request.settings, address, wide, buffer, size, roundTripMs, certificate);
    if (proxied >= 0) return proxied;
    route = ExchangeRoute::Unknown;
    int direct = DirectGet(request.settings, address, request.server, wide, request.target,
                           buffer, size, roundTripMs, certificate);
    if (direct >= 0) route = ExchangeRoute::Direct;
    return direct;
  }
  int direct = DirectGet(request.settings, address, request.server, wide, request.target, buffer,
                         size, roundTripMs, certificate);
  if (direct >= 0) route = ExchangeRoute::Direct;
  if (!FailedBeforeSending(direct)) return direct;
  int proxied = ProxyGet(request.settings, address, wide, buffer, size, roundTripMs, certificate);
  if (proxied < 0) return direct;
  route = ExchangeRoute::Proxy;
  return proxied;
}
