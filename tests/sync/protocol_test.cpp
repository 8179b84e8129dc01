#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sync/protocol.h"

namespace {

constexpr int32_t kSentinel = static_cast<int32_t>(0xdeadbeef);

// "版本已升级，请到Quellton" and "下载" in code page 936.
const std::string kUpgradeHead =
    "\xB0\xE6\xB1\xBE\xD2\xD1\xC9\xFD\xBC\xB6\xA3\xAC\xC7\xEB\xB5\xBD"
    "Quellton";
const std::string kUpgradeTail = "\xCF\xC2\xD4\xD8";

}  // namespace

TEST(ClassifyReply, ByFirstByteAndLength) {
  struct Case {
    std::string body;
    ReplyClass expected;
  } cases[] = {
      {"#", ReplyClass::Upgrade},
      {"#2.10", ReplyClass::Upgrade},
      {"#12345678", ReplyClass::Upgrade},
      {"^", ReplyClass::TooManyErrors},
      {"^12345678", ReplyClass::TooManyErrors},
      {"~", ReplyClass::Maintenance},
      {"~later", ReplyClass::Maintenance},
      {"12345678", ReplyClass::Time},
      {"1234567", ReplyClass::Unknown},
      {"0abcdefg", ReplyClass::Time},
      {"9\r\n\r\n\r\n\r", ReplyClass::Time},
      {"/2345678", ReplyClass::Unknown},
      {":2345678", ReplyClass::Unknown},
      {" 12345678", ReplyClass::Unknown},
      {"+12345678", ReplyClass::Unknown},
      {"\xB3\xB2\xB3\xB4\xB5\xB6\xB7\xB8", ReplyClass::Unknown},
      {"<html>404</html>", ReplyClass::Unknown},
      {"", ReplyClass::Unknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(ClassifyReply(c.body.c_str(), static_cast<int>(c.body.size())), c.expected);
  }
}

TEST(ClassifyReply, UsesTheGivenLengthNotARecount) {
  // A zero byte inside an eight-byte body does not make it shorter.
  const char body[] = "1234\0678";
  EXPECT_EQ(ClassifyReply(body, 8), ReplyClass::Time);
  EXPECT_EQ(ClassifyReply("12345678", 7), ReplyClass::Unknown);
}

TEST(ParseTimeBody, CorrectsByHalfTheRoundTripAndCarries) {
  struct Case {
    std::string body;
    int32_t roundTripMs;
    int64_t seconds;
    int32_t millis;
  } cases[] = {
      {"12345678", 0, 12345, 678},
      {"12345678", 1, 12345, 678},
      {"12345678", 2, 12345, 679},
      {"1700000000900", 301, 1700000001, 50},
      {"1700000000900", 300, 1700000001, 50},
      {"1700000000999", 2, 1700000001, 0},
      {"1700000000000", 2000, 1700000001, 0},
      {"1700000000500", 5001, 1700000003, 0},
      {"0000000000", 0, 0, 0},
      {"2147483647999", 0, 2147483647, 999},
      {"2147483646999", 2, 2147483647, 0},
      {"2147483648000", 0, 2147483648LL, 0},
      {"2147483647999", 2, 2147483648LL, 0},
      {"4107542400000", 0, 4107542400LL, 0},
      {"253402300799999", 0, 253402300799LL, 999},
      {"253402300798999", 2, 253402300799LL, 0},
      {"000000253402300799000", 0, 253402300799LL, 0},
      // atoi stops at the first non-digit: the rest is not validated.
      {"12a45678", 0, 12, 678},
      {"12345+678", 0, 12345, 678},
      {"1 3456789", 0, 1, 789},
      // A negative round trip counts as none: the base never goes before
      // the server's stamp, and the milliseconds stay within 0..999.
      {"12345000", -3, 12345, 0},
      {"12345999", INT32_MIN, 12345, 999},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body + " rt " + std::to_string(c.roundTripMs));
    BaseTime out{kSentinel, kSentinel};
    ASSERT_TRUE(ParseTimeBody(c.body.c_str(), static_cast<int>(c.body.size()), c.roundTripMs,
                              &out));
    EXPECT_EQ(out.seconds, c.seconds);
    EXPECT_EQ(out.millis, c.millis);
  }
}

TEST(ParseTimeBody, RefusesBytesThatAreNoTime) {
  struct Case {
    const char* name;
    std::string body;
    int32_t roundTripMs;
  } cases[] = {
      {"line end after the time", "1700000000123\r\n", 0},
      {"line feed after the time", "1700000000123\n", 0},
      {"letter in the milliseconds", "1700000000a23", 0},
      {"sign in the milliseconds", "1234567-12", 0},
      {"zero byte in the milliseconds", std::string("17000000001\0003", 13), 0},
      {"high byte in the milliseconds", "1700000000\xB2\xB3\xB4", 0},
      {"seconds past 9999", "253402300800000", 0},
      {"carry past 9999", "253402300799999", 2},
      {"carry of whole seconds past 9999", "253402300799000", 4000},
      {"seconds ten times the last", "2534023007990000", 0},
      {"seconds of twenty digits", "99999999999999999999000", 0},
      {"seconds of forty digits", std::string(40, '9') + "000", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string copy = c.body;
    BaseTime out{kSentinel, kSentinel};
    EXPECT_FALSE(ParseTimeBody(copy.c_str(), static_cast<int>(copy.size()), c.roundTripMs, &out));
    EXPECT_EQ(out.seconds, kSentinel);
    EXPECT_EQ(out.millis, kSentinel);
    EXPECT_EQ(copy, c.body);
  }
}

TEST(SplitAtChar, CutsAtTheFirstSeparator) {
  struct Case {
    std::string text;
    std::string head;
    std::string rest;
    size_t restOffset;
  } cases[] = {
      {"link\ttext", "link", "text", 5},
      {"link\ttext\tmore\r\n", "link", "text\tmore\r\n", 5},
      {"\ttext", "", "text", 1},
      {"link\t", "link", "", 5},
      {"link only", "link only", "", 9},
      {"", "", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string buffer = c.text;
    char* text = &buffer[0];
    char* rest = SplitAtChar(text, '\t');
    EXPECT_EQ(std::string(text), c.head);
    EXPECT_EQ(std::string(rest), c.rest);
    EXPECT_EQ(static_cast<size_t>(rest - text), c.restOffset);
  }
}

TEST(SkipBannerSpace, SkipsSpaceCarriageReturnLineFeedAndTabOnly) {
  struct Case {
    std::string text;
    size_t offset;
  } cases[] = {
      {"link", 0},
      {" \r\n\t link", 5},
      {"\r\n\r\n", 4},
      {"", 0},
      {"\vlink", 0},
      {"\flink", 0},
      {"link \t", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string buffer = c.text;
    EXPECT_EQ(static_cast<size_t>(SkipBannerSpace(&buffer[0]) - &buffer[0]), c.offset);
  }
}

TEST(FormatUpgradeMessage, InsertsTheTextAndCutsToTheBuffer) {
  const size_t fixed = kUpgradeHead.size() + kUpgradeTail.size();
  ASSERT_EQ(fixed, 28u);
  const std::string fits(kMessageCapacity - 1 - fixed, 'x');
  const std::string oneOver(kMessageCapacity - fixed, 'x');
  struct Case {
    const char* name;
    std::string rest;
    std::string expected;
  } cases[] = {
      {"nothing after the #", "", kUpgradeHead + kUpgradeTail},
      {"version", "2.10", kUpgradeHead + "2.10" + kUpgradeTail},
      {"percent signs stay text", "%s%d", kUpgradeHead + "%s%d" + kUpgradeTail},
      {"exactly fits", fits, kUpgradeHead + fits + kUpgradeTail},
      {"one byte over", oneOver, (kUpgradeHead + oneOver + kUpgradeTail).substr(0, 255)},
      {"300 bytes", std::string(300, 'y'), (kUpgradeHead + std::string(300, 'y')).substr(0, 255)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char area[kMessageCapacity + 32];
    std::memset(area, 0x5A, sizeof area);
    FormatUpgradeMessage(c.rest.c_str(), area, kMessageCapacity);
    EXPECT_EQ(std::string(area), c.expected);
    for (size_t i = kMessageCapacity; i < sizeof area; ++i) ASSERT_EQ(area[i], 0x5A) << i;
  }
}
