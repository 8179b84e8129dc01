// The time and banner exchanges through a real proxy (squid, started by
// tests/support/run-with-squid.sh) that knows a host name the program cannot
// resolve, with the user's proxy settings written as Internet Options stores
// them, and over HTTPS from the script's test servers (the real oramet-timed
// among them), whose root the prefix is made to trust. Runs in a prefix and a
// network namespace of its own.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <string>

#include "res/texts.h"
#include "tests/support/loopback_server.h"
#include "tests/support/message_boxes.h"
#include "tests/support/proxy_settings.h"
#include "sync/time_exchange.h"
#include "tests/support/tcp_counters.h"
#include "tests/sync/clock_window.h"

std::vector<SYSTEMTIME> SetLocalTimeRecorder::calls;
BOOL SetLocalTimeRecorder::result = TRUE;
DWORD SetLocalTimeRecorder::error = ERROR_INVALID_PARAMETER;

namespace {

// Addresses and names the run script gives squid.
const char kOriginIp[] = "127.0.0.192";              // the time server
const char kProxiedHost[] = "time.proxied.test";     // squid: 127.0.0.192
const char kDeadHost[] = "nobody.proxied.test";      // squid: 127.0.0.195, where no one listens
const char kSquid[] = "127.0.0.191:3128";
const char kSquidWithPassword[] = "127.0.0.191:3129";  // Basic only: no logon to offer
const char kRefusing[] = "127.0.0.193:80";           // no one listens
const char kSilentIp[] = "127.0.0.194";              // accepts and never answers
// The script drops this user's packets to port 80 here; squid's get through.
const char kDroppedIp[] = "127.0.12.10";

constexpr DWORD kDirect = 1, kFixed = 2, kScript = 4;  // the flags of the user's settings

void SetUserProxy(DWORD flags, const std::string& proxy, const std::string& bypass,
                  const std::string& script = "") {
  ASSERT_TRUE(StoreProxySettings(HKEY_CURRENT_USER, "DefaultConnectionSettings", 0x46, flags,
                                 {proxy, bypass, script}));
}

bool Has(const std::string& request, const std::string& line) {
  return request.find("\r\n" + line + "\r\n") != std::string::npos;
}

// The script's test root (the first argument GoogleTest leaves), in the
// prefix's ROOT store as an administrator would add it.
bool TrustTestRoot() {
  if (__argc < 2 || __argv[1] == nullptr) return false;
  std::ifstream file(__argv[1], std::ios::binary);
  std::string der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return !der.empty() &&
         CertAddEncodedCertificateToSystemStoreA(
             "ROOT", reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()));
}

class ProxyFetch : public ClockWindow {
protected:
  void SetUp() override {
    ClockWindow::SetUp();
    SetUserProxy(kFixed, kSquid, "");
  }
  void TearDown() override {
    SetUserProxy(kDirect, "", "");
    ClockWindow::TearDown();
  }
};

// First, while nothing has loaded WinHTTP into this process.
TEST_F(ProxyFetch, AWorkingDirectExchangeNeverLoadsWinHttp) {
  LoopbackServer origin(kOriginIp, {HttpReply("1700000000123")});
  ASSERT_TRUE(origin.listening());
  lstrcpynA(window.serverHost, kOriginIp, sizeof window.serverHost);
  MessageBoxRecorder boxes;
  EXPECT_EQ(window.FetchServerTime(), 0);
  EXPECT_TRUE(boxes.boxes().empty());
  ASSERT_EQ(origin.requests().size(), 1u);
  EXPECT_EQ(origin.requests()[0].find("Via:"), std::string::npos) << origin.requests()[0];
  EXPECT_EQ(GetModuleHandleA("winhttp.dll"), nullptr);
}

TEST_F(ProxyFetch, AnUnresolvableServerIsAskedThroughTheUsersProxy) {
  LoopbackServer origin(kOriginIp);
  LoopbackServer silent(kSilentIp, {Silent()});
  ASSERT_TRUE(origin.listening());
  ASSERT_TRUE(silent.listening());
  const std::string silentProxy = std::string(kSilentIp) + ":80";
  const std::string kTarget = "/?v=2.07";
  const ServerStep kTime = HttpReply("1700000000123");
  // Group policy's lists run to kilobytes: 4 KB of entries before the one that counts.
  std::string longBypass;
  std::string longList;
  while (longBypass.size() < 4096)
    longBypass += "*.site" + std::to_string(longBypass.size()) + ".corp;";
  while (longList.size() < 4096)
    longList += "ftp=f" + std::to_string(longList.size()) + ".corp:21;";
  const struct {
    const char* name;
    DWORD flags;
    std::string proxy;
    std::string bypass;
    const char* host;
    ServerStep reply;     // the origin's
    std::string box;      // the message's text; empty: none, the time was taken
    std::string caption;
    size_t requests;      // at the origin
    const char* script;   // the setup script's result, served by the origin first
  } cases[] = {
      {"through the proxy", kFixed, kSquid, "", kProxiedHost, kTime, "", "", 1, nullptr},
      {"the http entry of a list", kFixed, std::string("https=") + kRefusing + ";http=" + kSquid,
       "", kProxiedHost, kTime, "", "", 1, nullptr},
      {"bypass entries that do not match", kFixed, kSquid, "<local>;*.other.test;time.proxied",
       kProxiedHost, kTime, "", "", 1, nullptr},
      {"a 4 KB exceptions list", kFixed, kSquid, longBypass, kProxiedHost, kTime, "", "", 1,
       nullptr},
      {"a 4 KB exceptions list that names the host last", kFixed, kSquid,
       longBypass + kProxiedHost, kProxiedHost, kTime, kTarget, kTextNetworkError, 0, nullptr},
      {"a 4 KB proxy list", kFixed, longList + "http=" + kSquid, "", kProxiedHost, kTime, "", "",
       1, nullptr},
      {"a hostile time is refused as ever", kFixed, kSquid, "", kProxiedHost,
       HttpReply("253402300800000"), "253402300800000", kTextUnknownData, 1, nullptr},
      {"no proxy configured", kDirect, "", "", kProxiedHost, kTime, kTarget,
       kTextNetworkError, 0, nullptr},
      {"the bypass list names the host", kFixed, kSquid, "*.PROXIED.test", kProxiedHost,
       kTime, kTarget, kTextNetworkError, 0, nullptr},
      {"a proxy that refuses", kFixed, kRefusing, "", kProxiedHost, kTime, kTarget,
       kTextNetworkError, 0, nullptr},
      {"a proxy that never answers", kFixed, silentProxy, "", kProxiedHost, kTime,
       kTarget, kTextNetworkError, 0, nullptr},
      {"a proxy that wants a password", kFixed, kSquidWithPassword, "", kProxiedHost,
       kTime, kTarget, kTextNetworkError, 0, nullptr},
      {"a redirect is not followed", kFixed, kSquid, "", kProxiedHost,
       Reply("HTTP/1.1 302 Found\r\nLocation: http://time.proxied.test/a\r\n"
             "Content-Length: 0\r\n\r\n"),
       kTarget, kTextNetworkError, 1, nullptr},
      {"the proxy's error page", kFixed, kSquid, "", kDeadHost, kTime, kTarget,
       kTextNetworkError, 0, nullptr},
      {"a setup script that names the proxy", kScript, "", "", kProxiedHost, kTime, "",
       "", 2, "PROXY 127.0.0.191:3128"},
      {"a setup script that says DIRECT", kScript, "", "", kProxiedHost, kTime, kTarget,
       kTextNetworkError, 1, "DIRECT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ServerStep> steps = {c.reply};
    std::string script;
    if (c.script != nullptr) {
      steps.insert(steps.begin(), HttpReply(std::string("function FindProxyForURL(url, host) "
                                                        "{ return \"") + c.script + "\"; }"));
      // Each its own address: WinHTTP may keep a script it fetched for a while.
      script = std::string("http://") + kOriginIp + "/" + std::to_string(&c - cases) + ".pac";
    }
    SetUserProxy(c.flags, c.proxy, c.bypass, script);
    origin.SetScript(steps);
    size_t before = origin.requests().size();
    lstrcpynA(window.serverHost, c.host, sizeof window.serverHost);
    window.baseSeconds = 0;
    MessageBoxRecorder boxes;
    EXPECT_EQ(window.FetchServerTime(), c.box.empty() ? 0 : -1);
    if (c.box.empty()) {
      EXPECT_TRUE(boxes.boxes().empty());
      // Half the round trip through the proxy is added to 123 ms.
      EXPECT_EQ(window.baseSeconds, 1700000000);
    } else {
      ASSERT_EQ(boxes.boxes().size(), 1u);
      EXPECT_EQ(boxes.boxes()[0].text, c.box);
      EXPECT_EQ(boxes.boxes()[0].caption, c.caption);
    }
    std::vector<std::string> requests = origin.requests();
    ASSERT_EQ(requests.size() - before, c.requests);
    // The last request came through the proxy unless it was the script's.
    if (c.requests == (c.script != nullptr ? 1u : 0u)) continue;
    const std::string& request = requests.back();
    EXPECT_EQ(request.rfind("GET " + kTarget + " HTTP/1.1\r\n", 0), 0u) << request;
    for (const char* line : {"Host: time.proxied.test", "User-Agent: Horalin",
                             "Cache-Control: no-cache", "Pragma: no-cache"})
      EXPECT_TRUE(Has(request, line)) << line << " in\n" << request;
    EXPECT_NE(request.find("\r\nVia: "), std::string::npos) << request;
  }
}

TEST_F(ProxyFetch, ASyncThroughTheProxySetsCountsAndReports) {
  LoopbackServer origin(kOriginIp, {CurrentTime()});
  ASSERT_TRUE(origin.listening());
  lstrcpynA(window.serverHost, kProxiedHost, sizeof window.serverHost);
  MessageBoxRecorder boxes;
  window.SyncNow();
  EXPECT_TRUE(boxes.boxes().empty());
  ASSERT_EQ(SetLocalTimeRecorder::calls.size(), 1u);
  EXPECT_EQ(Text(IDC_STATUS), kTextSetTimeOk);
  EXPECT_EQ(Text(IDC_FETCH_COUNT), "\xC8\xA1\xCA\xB1" "1" "\xB4\xCE");
  EXPECT_EQ(StoredCount(), std::to_string(SetLocalTimeRecorder::calls[0].wDay) + ",1");
  EXPECT_EQ(origin.requests().size(), 1u);
}

TEST_F(ProxyFetch, TheBannerComesThroughTheProxy) {
  LoopbackServer origin(kOriginIp, {HttpReply("http://q.example/a\tnews")});
  ASSERT_TRUE(origin.listening());
  lstrcpynA(window.serverHost, kProxiedHost, sizeof window.serverHost);
  window.RefreshBanner();
  EXPECT_STREQ(window.bannerLink, "http://q.example/a");
  EXPECT_EQ(Text(IDC_BANNER), "news");
  ASSERT_EQ(origin.requests().size(), 1u);
  EXPECT_EQ(origin.requests()[0].rfind("GET /ad/ HTTP/1.1\r\n", 0), 0u) << origin.requests()[0];
}

}  // namespace

namespace {

TEST_F(ProxyFetch, HttpsTimeComesOnlyFromAServerItsCertificateNames) {
  ASSERT_TRUE(TrustTestRoot()) << "usage: proxy_fetch_tests ROOT_DER_PATH";
  // Plain servers on the refused ones' port 80: a refusal must never fall
  // back to plain HTTP.
  LoopbackServer plain2("127.0.12.2", {CurrentTime()});
  LoopbackServer plain3("127.0.12.3", {CurrentTime()});
  LoopbackServer plain4("127.0.12.4", {CurrentTime()});
  const struct {
    const char* name;
    DWORD flags;  // of the user's proxy settings
    const char* server;
    bool taken;
    int64_t seconds;  // the base time's, when the server sends a fixed one
  } cases[] = {
      {"a server of the trusted root", kDirect, "https://127.0.12.1", true, 0},
      {"on a port of its own", kDirect, "HTTPS://127.0.12.1:4443/", true, 0},
      {"an expired certificate of the right chain and name", kDirect, "https://127.0.12.5", true,
       0},
      {"through the proxy's tunnel", kFixed, "https://secure.proxied.test", true, 0},
      // Its handshake starts 2 s late: outside the round trip, or the time
      // would be set a second ahead.
      {"a slow handshake", kDirect, "https://127.0.12.6", true, 1700000000},
      {"an unknown root", kDirect, "https://127.0.12.2", false, 0},
      {"a wrong name", kDirect, "https://127.0.12.3", false, 0},
      {"plain HTTP on the HTTPS port", kDirect, "https://127.0.12.4", false, 0},
      {"no port", kDirect, "https://127.0.12.1:", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUserProxy(c.flags, kSquid, "");
    lstrcpynA(window.serverHost, c.server, sizeof window.serverHost);
    SetLocalTimeRecorder::calls.clear();
    SetWindowTextA(GetDlgItem(window.hwnd, IDC_STATUS), "");
    MessageBoxRecorder boxes;
    window.SyncNow();
    if (c.taken) {
      EXPECT_TRUE(boxes.boxes().empty());
      ASSERT_EQ(SetLocalTimeRecorder::calls.size(), 1u);
      EXPECT_EQ(Text(IDC_STATUS), kTextSetTimeOk);
      if (c.seconds != 0) {
        EXPECT_EQ(window.baseSeconds, c.seconds);
      }
    } else {
      ASSERT_EQ(boxes.boxes().size(), 1u);
      EXPECT_EQ(boxes.boxes()[0].text, "/?v=2.07");
      EXPECT_EQ(boxes.boxes()[0].caption, kTextNetworkError);
      EXPECT_TRUE(SetLocalTimeRecorder::calls.empty());
      EXPECT_EQ(Text(IDC_STATUS), "");
    }
  }
  EXPECT_EQ(plain2.connections() + plain3.connections() + plain4.connections(), 0);
}

TEST_F(ProxyFetch, OnlyAnHttpsTimeItsCertificateVouchesForIsAuthenticated) {
  ASSERT_TRUE(TrustTestRoot());
  LoopbackServer origin(kOriginIp, {CurrentTime()});
  ASSERT_TRUE(origin.listening());
  SetUserProxy(kFixed, kSquid, "");
  const struct {
    const char* server;
    bool authenticated;
  } cases[] = {
      {"https://127.0.12.1", true},
      {"https://secure.proxied.test", true},
      // Accepted for the exchange, but not valid at the time it sent.
      {"https://127.0.12.5", false},
      {kProxiedHost, false},
      {kOriginIp, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.server);
    char exchange[kExchangeCapacity];
    ExchangeRoute route = ExchangeRoute::Unknown;
    TimeExchange got = RequestTime(c.server, exchange, ProxySettings::User, &route);
    ASSERT_EQ(got.reply, ReplyClass::Time) << got.length;
    EXPECT_EQ(got.authenticated, c.authenticated);
  }
}

TEST_F(ProxyFetch, ASyncOverHttpsShowsCountsAndTakesTheBannerFromTheSameServer) {
  ASSERT_TRUE(TrustTestRoot());
  SetUserProxy(kDirect, "", "");
  lstrcpynA(window.serverHost, "https://127.0.12.1", sizeof window.serverHost);
  MessageBoxRecorder boxes;
  window.SyncNow();
  EXPECT_TRUE(boxes.boxes().empty());
  ASSERT_EQ(SetLocalTimeRecorder::calls.size(), 1u);
  EXPECT_TRUE(SameTime(SetLocalTimeRecorder::calls[0], window.DisplayTime));
  EXPECT_NE(Text(IDC_DATE), kTextDatePlaceholder);
  EXPECT_NE(Text(IDC_TIME), kTextTimePlaceholder);
  EXPECT_EQ(Text(IDC_FETCH_COUNT), "\xC8\xA1\xCA\xB1" "1" "\xB4\xCE");
  EXPECT_EQ(StoredCount(), std::to_string(SetLocalTimeRecorder::calls[0].wDay) + ",1");
  window.RefreshBanner();
  EXPECT_STREQ(window.bannerLink, "http://q.example/s");
  EXPECT_EQ(Text(IDC_BANNER), "secure news");
}

TEST_F(ProxyFetch, WhereOnlyTheProxyGetsOutTheSecondSyncGoesStraightThroughIt) {
  LoopbackServer origin(kDroppedIp, {CurrentTime()});
  ASSERT_TRUE(origin.listening());
  lstrcpynA(window.serverHost, kDroppedIp, sizeof window.serverHost);
  long resent[3] = {TcpCounter("TCPSynRetrans"), 0, 0};
  for (int sync = 1; sync <= 2; ++sync) {
    SCOPED_TRACE(sync);
    MessageBoxRecorder boxes;
    window.SyncNow();
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(Text(IDC_STATUS), kTextSetTimeOk);
    resent[sync] = TcpCounter("TCPSynRetrans");
  }
  ASSERT_GE(resent[0], 0);
  EXPECT_EQ(origin.requests().size(), 2u);
  // The first sync waited on the dropped direct way, the second must not
  // have tried it.
  EXPECT_GT(resent[1] - resent[0], 0);
  EXPECT_EQ(resent[2] - resent[1], 0);
}

}  // namespace
