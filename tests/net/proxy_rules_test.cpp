#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/proxy_rules.h"
#include "net/server_address.h"

TEST(SelectHttpProxy, TakesTheFirstAddressThatServesHttp) {
  struct Case {
    const char* list;
    int capacity;
    const char* expected;  // nullptr: none
  } cases[] = {
      {"  \tproxy.corp:8080 other:1", 64, "proxy.corp:8080"},
      {"http://proxy.corp:3128", 64, "proxy.corp:3128"},
      {"https=s.corp:443;HTTP=http://h.corp:80;ftp=f.corp", 64, "h.corp:80"},
      {"socks=s.corp:1080 https=s.corp:443", 64, nullptr},
      {"http=;any.corp:81", 64, "any.corp:81"},
      {" ; ", 64, nullptr},
      {"p.corp:8080", 12, "p.corp:8080"},  // 11 bytes and the terminator
      {"p.corp:80801", 12, nullptr},
      {"https=s.corp:443", 64, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    char out[80];
    std::memset(out, 'Z', sizeof out);
    int length = SelectHttpProxy(c.list, out, c.capacity);
    for (size_t i = static_cast<size_t>(c.capacity); i < sizeof out; ++i) ASSERT_EQ(out[i], 'Z') << i;
    if (c.expected == nullptr) {
      EXPECT_EQ(length, -1);
    } else {
      ASSERT_EQ(length, static_cast<int>(std::strlen(c.expected)));
      EXPECT_EQ(std::string(out, static_cast<size_t>(length) + 1), std::string(c.expected) + '\0');
    }
  }
}

TEST(BypassesProxy, MatchesEntriesAsWindowsReadsThem) {
  struct Case {
    const char* host;
    const char* list;
    bool expected;
  } cases[] = {
      {"TIME.Corp", "time.CORP", true},        {"time.corp", "time.cor", false},
      {"time.corp", "ime.corp", false},        {"time.corp", "*.corp", true},
      {"corp", "*.corp", false},               {"time.corp", "t*e.c*p", true},
      {"time.corp", "t*x.corp", false},        {"127.0.0.5", "10.*;127.0.0.*", true},
      {"time", "<LOCAL>", true},               {"time.corp", "<local>", false},
      {"time.corp", "a.corp; b\tc;time.corp", true}, {"time.corp", ";;", false},
      {"", "*", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " / " + c.list);
    EXPECT_EQ(BypassesProxy(c.host, c.list), c.expected);
  }
}

TEST(NextLogonStep, OffersTheLogonOnlyToTheProxyAndOnce) {
  const LogonStep kStop{false, LogonPolicy::High, false};
  const LogonStep kFirst{true, LogonPolicy::High, false};
  const LogonStep kProxyLogon{true, LogonPolicy::Low, true};
  struct Case {
    const char* name;
    int status;
    int resends;
    bool personLogon;
    LogonStep expected;
  } cases[] = {
      {"first send", 0, 0, true, kFirst},
      {"first send of the service", 0, 0, false, kFirst},
      {"the proxy's 407", 407, 0, true, kProxyLogon},
      {"a second 407", 407, 1, true, kStop},
      {"407 to the service", 407, 0, false, kStop},
      {"the server's 401", 401, 0, true, kStop},
      {"the server's 401 after the proxy's logon", 401, 1, true, kStop},
      {"a time", 200, 0, true, kStop},
      {"a redirect", 302, 0, true, kStop},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogonStep step = NextLogonStep(c.status, c.resends, c.personLogon);
    EXPECT_EQ(step.send, c.expected.send);
    EXPECT_EQ(step.policy == LogonPolicy::Low, c.expected.policy == LogonPolicy::Low);
    EXPECT_EQ(step.proxyLogon, c.expected.proxyLogon);
  }
}

TEST(SelectProxy, TakesTheEntryOfTheScheme) {
  char out[64];
  EXPECT_EQ(SelectProxy("http=h.corp:80;HTTPS=s.corp:443", "https", out, sizeof out), 10);
  EXPECT_STREQ(out, "s.corp:443");
  EXPECT_EQ(SelectProxy("http=h.corp:80 any.corp:3128", "https", out, sizeof out), 13);
  EXPECT_STREQ(out, "any.corp:3128");
  EXPECT_EQ(SelectProxy("http=h.corp:80", "https", out, sizeof out), -1);
}

TEST(ReadServerAddress, ReadsPlainHostsWholeAndHttpsWithItsPort) {
  struct Case {
    const char* setting;
    bool read;
    const char* host;
    int port;
    bool secure;
  } cases[] = {
      {"time.example.net", true, "time.example.net", 80, false},
      // A plain name is taken whole, as it always was: HttpGet decides.
      {"time.example.net:8080", true, "time.example.net:8080", 80, false},
      {"https://time.example.net", true, "time.example.net", 443, true},
      {"HTTPS://time.example.net/", true, "time.example.net", 443, true},
      {"https://127.0.12.1:4443", true, "127.0.12.1", 4443, true},
      {"https://h:65535", true, "h", 65535, true},
      {"https://", false, "", 0, false},
      {"https://:443", false, "", 0, false},
      {"https://h:", false, "", 0, false},
      {"https://h:0", false, "", 0, false},
      {"https://h:65536", false, "", 0, false},
      {"https://h:4a3", false, "", 0, false},
      {"https://h:0000443", false, "", 0, false},
      {"https://h/path", false, "", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    ServerAddress address;
    std::memset(&address, 0xef, sizeof address);
    ASSERT_EQ(ReadServerAddress(c.setting, &address), c.read);
    if (!c.read) {
      EXPECT_EQ(address.port, static_cast<int>(0xefefefef));
      continue;
    }
    EXPECT_STREQ(address.host, c.host);
    EXPECT_EQ(address.port, c.port);
    EXPECT_EQ(address.secure, c.secure);
  }
  // The longest host that fits, and one byte more.
  std::string host(kServerHostCapacity - 1, 'h');
  ServerAddress address;
  EXPECT_TRUE(ReadServerAddress(("https://" + host).c_str(), &address));
  EXPECT_EQ(std::string(address.host), host);
  EXPECT_FALSE(ReadServerAddress(("https://" + host + "h").c_str(), &address));
}
