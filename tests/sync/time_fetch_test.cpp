#include <gtest/gtest.h>

#include <string>

#include "tests/support/loopback_server.h"
#include "tests/support/message_boxes.h"
#include "ui/main_window.h"

namespace {

constexpr int32_t kSentinel = static_cast<int32_t>(0xdeadbeef);
constexpr uint32_t kTickSentinel = 0xdeadbeef;

constexpr char kTimeHost[] = "127.0.0.20";
constexpr char kNobody[] = "127.0.0.21";
constexpr char kBannerHost[] = "127.0.0.22";

// The texts in code page 936, as bytes.
const std::string kNetworkError = "\xCD\xF8\xC2\xE7\xB4\xED\xCE\xF3";
const std::string kNotice = "\xCC\xE1\xCA\xBE";
const std::string kTooManyErrors =
    "\x32\x34\xD0\xA1\xCA\xB1\xC4\xDA\xB4\xED\xCE\xF3\xB4\xCE\xCA\xFD\xD2\xD1\xB4\xEF\xC9\xCF"
    "\xCF\xDE";
const std::string kMaintenance =
    "\xCF\xB5\xCD\xB3\xCE\xAC\xBB\xA4\xD6\xD0\xA3\xAC\xC7\xEB\xC9\xD4\xBA\xF3\xD4\xD9\xCA\xD4";
const std::string kUnknownData =
    "\xCE\xB4\xD6\xAA\xCA\xFD\xBE\xDD\xA3\xAC\xC7\xEB\xBC\xEC\xB2\xE9\xB0\xE6\xB1\xBE";
const std::string kUpgradeHead =
    "\xB0\xE6\xB1\xBE\xD2\xD1\xC9\xFD\xBC\xB6\xA3\xAC\xC7\xEB\xB5\xBD"
    "Quellton";
const std::string kUpgradeTail = "\xCF\xC2\xD4\xD8";

std::string Request(const std::string& target, const std::string& host) {
  return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: Horalin\r\n\r\n";
}

class FetchServerTime : public testing::Test {
protected:
  void SetUp() override {
    lstrcpynA(window.serverHost, kTimeHost, sizeof window.serverHost);
    window.baseSeconds = kSentinel;
    window.baseMillis = kSentinel;
    window.baseTick = kTickSentinel;
  }
  void ExpectBaseUntouched() {
    EXPECT_EQ(window.baseSeconds, kSentinel);
    EXPECT_EQ(window.baseMillis, kSentinel);
    EXPECT_EQ(window.baseTick, kTickSentinel);
    EXPECT_FALSE(window.synced);
  }
  MainWindow window;
};

}  // namespace

TEST_F(FetchServerTime, EveryFailingReplyShowsOneBoxAndKeepsTheBaseTime) {
  struct Case {
    const char* name;
    ServerStep step;
    std::string text;
    std::string caption;
  } cases[] = {
      {"upgrade without text", HttpReply("#"), kUpgradeHead + kUpgradeTail, kNotice},
      {"upgrade with version", HttpReply("#2.10"), kUpgradeHead + "2.10" + kUpgradeTail, kNotice},
      {"upgrade text cut to 255 bytes", HttpReply("#" + std::string(300, 'u')),
       (kUpgradeHead + std::string(300, 'u')).substr(0, 255), kNotice},
      {"too many errors", HttpReply("^"), kTooManyErrors, kNotice},
      {"too many errors with text", HttpReply("^12345678"), kTooManyErrors, kNotice},
      {"maintenance", HttpReply("~until noon"), kMaintenance, kNotice},
      {"seven digits", HttpReply("1234567"), "1234567", kUnknownData},
      {"html page", HttpReply("<html>404</html>", "404 Not Found"), "<html>404</html>",
       kUnknownData},
      {"line end after the time", HttpReply("1700000000123\r\n"), "1700000000123\r\n",
       kUnknownData},
      {"first second past 9999", HttpReply("253402300800000"), "253402300800000", kUnknownData},
      {"empty body", HttpReply(""), "", kNetworkError},
      {"no header end", Reply("HTTP/1.1 200 OK\n\n1700000000123"),
       "HTTP/1.1 200 OK\n\n1700000000123", kNetworkError},
      {"closed at once", CloseAtOnce(), "/?v=2.07", kNetworkError},
  };
  LoopbackServer server(kTimeHost);
  ASSERT_TRUE(server.listening());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.SetScript({c.step});
    MessageBoxRecorder boxes;
    EXPECT_EQ(window.FetchServerTime(), -1);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, c.text);
    EXPECT_EQ(boxes.boxes()[0].caption, c.caption);
    ExpectBaseUntouched();
  }
}

TEST_F(FetchServerTime, UnreachableServerShowsTheRequestTarget) {
  lstrcpynA(window.serverHost, kNobody, sizeof window.serverHost);
  MessageBoxRecorder boxes;
  EXPECT_EQ(window.FetchServerTime(), -1);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, "/?v=2.07");
  EXPECT_EQ(boxes.boxes()[0].caption, kNetworkError);
  ExpectBaseUntouched();
}

TEST_F(FetchServerTime, TimeReplySetsTheBaseTimeAndTakesTheTickAfterwards) {
  struct Case {
    std::string body;
    int64_t seconds;
    int32_t millis;
  } cases[] = {
      {"1700000000000", 1700000000, 0},
      {"2147483648000", 2147483648LL, 0},
      {"12345678", 12345, 678},
      {"12a45678", 12, 678},
  };
  LoopbackServer server(kTimeHost);
  ASSERT_TRUE(server.listening());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    server.SetScript({HttpReply(c.body)});
    SetUp();
    MessageBoxRecorder boxes;
    uint64_t before = TickCount64();
    EXPECT_EQ(window.FetchServerTime(), 0);
    uint64_t after = TickCount64();
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(window.baseSeconds, c.seconds);
    // Half a loopback round trip, generously bounded, is added.
    EXPECT_GE(window.baseMillis, c.millis);
    EXPECT_LT(window.baseMillis, c.millis + 300);
    EXPECT_LE(window.baseTick - before, after - before);
    EXPECT_FALSE(window.synced);
  }
  std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  for (const std::string& request : requests) EXPECT_EQ(request, Request("/?v=2.07", kTimeHost));
}

TEST_F(FetchServerTime, RoundTripOfTheExchangeIsHalvedIntoTheMillis) {
  // The server holds the body back for 800 ms: at least 400 ms are added.
  LoopbackServer server(kTimeHost, {Split("", "HTTP/1.1 200 OK\r\n\r\n1700000000700", 800)});
  ASSERT_TRUE(server.listening());
  MessageBoxRecorder boxes;
  EXPECT_EQ(window.FetchServerTime(), 0);
  EXPECT_TRUE(boxes.boxes().empty());
  // 700 + at least 400 carries one second.
  EXPECT_EQ(window.baseSeconds, 1700000001);
  EXPECT_GE(window.baseMillis, 100);
  EXPECT_LT(window.baseMillis, 1000);
}

class RefreshBanner : public testing::Test {
protected:
  void SetUp() override {
    lstrcpynA(window.serverHost, kBannerHost, sizeof window.serverHost);
    window.banner = CreateWindowA("STATIC", "old text", WS_POPUP, 0, 0, 200, 20, nullptr,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(window.banner, nullptr);
    lstrcpynA(window.bannerLink, "old link", sizeof window.bannerLink);
  }
  void TearDown() override { DestroyWindow(window.banner); }
  std::string BannerText() {
    char text[2048] = {};
    GetWindowTextA(window.banner, text, sizeof text);
    return text;
  }
  MainWindow window;
};

TEST_F(RefreshBanner, StoresTheLinkAndShowsTheTextAfterTheFirstTab) {
  struct Case {
    const char* name;
    std::string body;
    std::string link;
    std::string text;
  } cases[] = {
      {"leading white space", "\r\n \t http://q.example/a\t\xD0\xC2\xB0\xE6 out now",
       "http://q.example/a", "\xD0\xC2\xB0\xE6 out now"},
      {"nothing trimmed at the ends", "link \r\n\tA\tB\r\n", "link \r\n", "A\tB\r\n"},
      {"no tab", "  http://q.example/only", "http://q.example/only", ""},
      {"white space only", " \r\n\t ", "", ""},
  };
  LoopbackServer server(kBannerHost);
  ASSERT_TRUE(server.listening());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.SetScript({HttpReply(c.body)});
    SetWindowTextA(window.banner, "old text");
    lstrcpynA(window.bannerLink, "old link", sizeof window.bannerLink);
    window.RefreshBanner();
    EXPECT_EQ(std::string(window.bannerLink), c.link);
    EXPECT_EQ(BannerText(), c.text);
  }
  std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0], Request("/ad/", kBannerHost));
}

TEST_F(RefreshBanner, FailedOrEmptyReplyChangesNothingAndShowsNothing) {
  struct Case {
    const char* name;
    const char* host;
    ServerStep step;
  } cases[] = {
      {"no server", kNobody, CloseAtOnce()},
      {"closed at once", kBannerHost, CloseAtOnce()},
      {"empty body", kBannerHost, HttpReply("")},
      {"no header end", kBannerHost, Reply("HTTP/1.1 200 OK\n\nlink\ttext")},
  };
  LoopbackServer server(kBannerHost);
  ASSERT_TRUE(server.listening());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.SetScript({c.step});
    lstrcpynA(window.serverHost, c.host, sizeof window.serverHost);
    MessageBoxRecorder boxes;
    window.RefreshBanner();
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_STREQ(window.bannerLink, "old link");
    EXPECT_EQ(BannerText(), "old text");
  }
}
