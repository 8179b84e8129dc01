#include "net/proxy_get.h"

#include <windows.h>
#include <winhttp.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "net/http_get.h"
#include "net/http_reply.h"
#include "net/proxy_rules.h"

namespace {

constexpr wchar_t kAgent[] = L"Horalin";
constexpr DWORD kLimitMs = 5000;  // the direct exchange's connect and receive limits
constexpr int kHostCapacity = 256;

// WinHTTP's entry points, found at run time: a PC that never needs a proxy
// never loads the DLL, and the program's imports stay what they were.
struct WinHttp {
  decltype(&WinHttpOpen) open;
  decltype(&WinHttpCloseHandle) closeHandle;
  decltype(&WinHttpSetTimeouts) setTimeouts;
  decltype(&WinHttpSetOption) setOption;
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
bool ChooseProxy(const char* host, const wchar_t* proxyList, const wchar_t* bypassList,
                 wchar_t* proxy, int capacity) {
  std::unique_ptr<char[]> list;
  std::unique_ptr<char[]> bypass;
  char chosen[kHostCapacity];
  if (!ToNarrow(proxyList, &list) || !ToNarrow(bypassList, &bypass)) return false;
  if (BypassesProxy(host, bypass.get())) return false;
  if (SelectHttpProxy(list.get(), chosen, sizeof chosen) < 0) return false;
  return ToWide(chosen, proxy, capacity);
}

// The user's settings: a script or automatic detection decides for the URL
// when one is configured and works; otherwise the fixed proxy with its bypass
// list applies, as in the browsers that share these settings.
bool FindUserProxy(const WinHttp& winHttp, const char* host, const wchar_t* url, wchar_t* proxy,
                   int capacity) {
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
               ChooseProxy(host, info.lpszProxy, info.lpszProxyBypass, proxy, capacity);
      }
    }
  }
  return config.lpszProxy != nullptr &&
         ChooseProxy(host, config.lpszProxy, config.lpszProxyBypass, proxy, capacity);
}

// The machine's WinHTTP proxy, as `netsh winhttp set proxy` stores it.
bool FindMachineProxy(const WinHttp& winHttp, const char* host, wchar_t* proxy, int capacity) {
  WINHTTP_PROXY_INFO info{};
  if (!winHttp.getMachineProxy(&info)) return false;
  GlobalText list(info.lpszProxy);
  GlobalText bypass(info.lpszProxyBypass);
  return info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy != nullptr &&
         ChooseProxy(host, info.lpszProxy, info.lpszProxyBypass, proxy, capacity);
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

}  // namespace

int ProxyGet(ProxySettings settings, const char* host, const char* target, char* buffer,
             int size, int32_t* roundTripMs) {
  // Converted before anything is written: the target may lie in buffer.
  wchar_t hostWide[kHostCapacity];
  wchar_t targetWide[kRequestCapacity];
  wchar_t url[kHostCapacity + 16];
  if (!ToWide(host, hostWide, kHostCapacity) || !ToWide(target, targetWide, kRequestCapacity))
    return kHttpSendIncomplete;
  lstrcpyW(url, L"http://");
  lstrcatW(url, hostWide);
  lstrcatW(url, L"/");

  const WinHttp* winHttp = LoadWinHttp();
  if (winHttp == nullptr) return kProxyNone;
  wchar_t proxy[kHostCapacity];
  bool found = settings == ProxySettings::User
                   ? FindUserProxy(*winHttp, host, url, proxy, kHostCapacity)
                   : FindMachineProxy(*winHttp, host, proxy, kHostCapacity);
  if (!found) return kProxyNone;

  InternetHandle session(*winHttp, winHttp->open(kAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy,
                                                 WINHTTP_NO_PROXY_BYPASS, 0));
  if (session.get() == nullptr) return kHttpNoSocket;
  // The direct exchange's limits: 5 s to connect, 5 s for the reply.
  if (!winHttp->setTimeouts(session.get(), kLimitMs, kLimitMs, kLimitMs, kLimitMs))
    return kHttpNoSocket;
  DWORD responseLimit = kLimitMs;
  // Not every WinHTTP knows this one; the receive limit then bounds the wait.
  winHttp->setOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseLimit,
                     sizeof responseLimit);
  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  bool staysPut = winHttp->setOption(session.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirects,
                                     sizeof redirects) != FALSE;

  InternetHandle connection(*winHttp,
                            winHttp->connect(session.get(), hostWide, INTERNET_DEFAULT_HTTP_PORT, 0));
  if (connection.get() == nullptr) return kHttpNoSocket;
  InternetHandle request(*winHttp,
                         winHttp->openRequest(connection.get(), L"GET", targetWide, nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
  if (request.get() == nullptr) return kHttpNoSocket;
  // No redirect is followed and no cookie kept (a fresh session has none to
  // send). Not every WinHTTP knows both ways of refusing redirects: either will do.
  DWORD features = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS;
  staysPut = winHttp->setOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features,
                                sizeof features) != FALSE || staysPut;
  if (!staysPut) return kHttpNoSocket;
  // So that no cache on the way answers with an old time.
  if (!winHttp->addRequestHeaders(request.get(), L"Cache-Control: no-cache\r\nPragma: no-cache",
                                  static_cast<DWORD>(-1L),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
    return kHttpSendIncomplete;

  SendClock sendClock;
  if (!WatchSends(*winHttp, request.get(), &sendClock)) return kHttpNoSocket;
  DWORD status = 0;
  // The service has no logon of a person to offer.
  bool personLogon = settings == ProxySettings::User;
  LogonStep step = NextLogonStep(0, 0, personLogon);
  for (int resends = 0; step.send; ++resends) {
    DWORD logon = step.policy == LogonPolicy::Low ? WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW
                                                  : WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
    if (!winHttp->setOption(request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof logon))
      return kHttpNoSocket;
    // The 407 stands when the proxy offers no scheme the logon can answer.
    if (step.proxyLogon && !OfferLogon(*winHttp, request.get())) break;
    sendClock.sent = false;
    if (!winHttp->sendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                              WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
      return kHttpNoConnection;
    if (!winHttp->receiveResponse(request.get(), nullptr)) return kHttpNothingReceived;
    // Without the report there is no start to measure from; a start taken
    // before the send would set the clock ahead.
    if (!sendClock.sent) return kHttpSendIncomplete;
    DWORD statusSize = sizeof status;
    if (!winHttp->queryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
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
    if (!winHttp->readData(request.get(), body.get() + length, static_cast<DWORD>(size - length),
                           &read))
      return kHttpNothingReceived;
    if (read == 0) break;
    length += static_cast<int>(read);
  }
  clock_t t1 = clock();
  body[length] = '\0';
  std::memcpy(buffer, body.get(), static_cast<size_t>(length) + 1);
  // Unsigned, as HttpGet's, for the wrap of clock's 32-bit count.
  *roundTripMs =
      static_cast<int32_t>(static_cast<uint32_t>(t1) - static_cast<uint32_t>(sendClock.sentAt));
  return length;
}

int HttpGetOrProxy(ProxySettings settings, const char* host, const char* target, char* buffer,
                   int size, int32_t* roundTripMs) {
  int direct = HttpGet(host, target, buffer, size, roundTripMs);
  if (!FailedBeforeSending(direct)) return direct;
  int proxied = ProxyGet(settings, host, target, buffer, size, roundTripMs);
  return proxied >= 0 ? proxied : direct;
}
