// The client's own exchange and reply parse against the real oramet-timed,
// started by run-with-timed.sh on the addresses given in the environment.
#include <winsock2.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/http_get.h"
#include "sync/protocol.h"

namespace {

constexpr int32_t kSentinel = static_cast<int32_t>(0xdeadbeef);

// Configured in run-with-timed.sh in UTF-8; the server sends it in code
// page 936, which is what this literal compiles to.
constexpr char kBannerLink[] = "http://www.example.com/";
constexpr char kBannerText[] = "欢迎使用 Oramet 校时";
constexpr char kDownloadPath[] = "/download/oramet-3.00.exe";

std::string Address(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr ? value : "";
}

int64_t HostUnixMillis() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks;
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  return static_cast<int64_t>(ticks.QuadPart / 10000) - 11644473600000LL;
}

// The time request as the program makes it: the target formed in the very
// buffer that then receives the reply.
struct TimeExchange {
  char buffer[kExchangeCapacity];
  int32_t roundTripMs = kSentinel;
  int length = kSentinel;

  explicit TimeExchange(const std::string& host) {
    std::memset(buffer, 0x5A, sizeof buffer);
    std::snprintf(buffer, sizeof buffer, kTimeTargetFormat, kTimeQuery);
    length = HttpGet(host.c_str(), buffer, buffer, kExchangeCapacity - 1, &roundTripMs);
  }
  std::string Body() const { return length > 0 ? std::string(buffer, length) : ""; }
};

class TimedServer : public testing::Test {
protected:
  void SetUp() override {
    server_ = Address("ORAMET_TIMED_SERVER");
    maintenance_ = Address("ORAMET_TIMED_MAINTENANCE");
    upgrade_ = Address("ORAMET_TIMED_UPGRADE");
    ASSERT_FALSE(server_.empty() || maintenance_.empty() || upgrade_.empty())
        << "run through run-with-timed.sh";
  }
  std::string server_, maintenance_, upgrade_;
};

TEST_F(TimedServer, TimeReplyParsesToTheHostClock) {
  int64_t before = HostUnixMillis();
  TimeExchange exchange(server_);
  int64_t after = HostUnixMillis();
  ASSERT_GT(exchange.length, 0) << "HttpGet result";
  std::string body = exchange.Body();
  // Unix seconds (ten digits until 2286) and exactly three of milliseconds.
  EXPECT_EQ(13u, body.size()) << body;
  EXPECT_EQ(std::string::npos, body.find_first_not_of("0123456789")) << body;
  EXPECT_EQ('\0', exchange.buffer[exchange.length]);
  EXPECT_NE(kSentinel, exchange.roundTripMs);
  EXPECT_GE(exchange.roundTripMs, 0);

  ASSERT_EQ(ReplyClass::Time, ClassifyReply(exchange.buffer, exchange.length));
  BaseTime base{kSentinel, kSentinel};
  ASSERT_TRUE(ParseTimeBody(exchange.buffer, exchange.length, exchange.roundTripMs, &base));
  EXPECT_GE(base.millis, 0);
  EXPECT_LT(base.millis, 1000);
  // The server stamps from the same clock: the parsed instant lies within
  // the exchange, give or take the half round trip added and a generous
  // margin for a slow machine.
  int64_t parsed = int64_t{base.seconds} * 1000 + base.millis;
  EXPECT_GE(parsed, before - 2000) << "parsed " << parsed << ", exchange " << before << ".."
                                   << after;
  EXPECT_LE(parsed, after + 2000) << "parsed " << parsed << ", exchange " << before << ".."
                                  << after;
}

TEST_F(TimedServer, ManyExchangesInARowAllSucceed) {
  // One connection per request as the program makes them; a socket the
  // client or the server failed to let go would show as a failure here.
  for (int i = 0; i < 100; ++i) {
    SCOPED_TRACE("exchange " + std::to_string(i));
    TimeExchange exchange(server_);
    ASSERT_EQ(13, exchange.length) << exchange.Body();
    ASSERT_EQ(ReplyClass::Time, ClassifyReply(exchange.buffer, exchange.length));
  }
}

TEST_F(TimedServer, BannerArrivesInCodePage936ByteForByte) {
  char reply[kBannerCapacity];
  std::memset(reply, 0x5A, sizeof reply);
  int32_t roundTripMs = kSentinel;
  int length = HttpGet(server_.c_str(), kBannerTarget, reply, kBannerCapacity - 1, &roundTripMs);
  std::string expected = std::string(kBannerLink) + "\t" + kBannerText;
  ASSERT_EQ(static_cast<int>(expected.size()), length);
  EXPECT_EQ(expected, std::string(reply, length));

  // Split as the program splits it.
  char* link = SkipBannerSpace(reply);
  char* text = SplitAtChar(link, '\t');
  EXPECT_STREQ(kBannerLink, link);
  EXPECT_STREQ(kBannerText, text);
}

TEST_F(TimedServer, MaintenanceAnswersTilde) {
  TimeExchange exchange(maintenance_);
  ASSERT_EQ(1, exchange.length) << exchange.Body();
  EXPECT_EQ("~", exchange.Body());
  EXPECT_EQ(ReplyClass::Maintenance, ClassifyReply(exchange.buffer, exchange.length));
}

TEST_F(TimedServer, OldClientIsToldWhereTheNewOneIs) {
  TimeExchange exchange(upgrade_);
  ASSERT_GT(exchange.length, 0);
  EXPECT_EQ(std::string("#") + kDownloadPath, exchange.Body());
  EXPECT_EQ(ReplyClass::Upgrade, ClassifyReply(exchange.buffer, exchange.length));
  char message[kMessageCapacity];
  std::memset(message, 0x5A, sizeof message);
  FormatUpgradeMessage(exchange.buffer + 1, message, sizeof message);
  EXPECT_NE(nullptr, std::strstr(message, kDownloadPath)) << message;
}

}  // namespace
