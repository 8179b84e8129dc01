#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/http_reply.h"

namespace {

constexpr char kFill = '\x5A';

std::string Fixed(const std::string& host) {
  return "GET  HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: Horalin\r\n\r\n";
}

}  // namespace

TEST(FormatRequest, WritesTheThreeLinesExactly) {
  char request[kRequestCapacity];
  int length = FormatRequest("time.example", "/?v=2.07", request, sizeof request);
  const std::string expected =
      "GET /?v=2.07 HTTP/1.1\r\nHost: time.example\r\nUser-Agent: Horalin\r\n\r\n";
  ASSERT_EQ(length, static_cast<int>(expected.size()));
  EXPECT_EQ(std::string(request, length + 1), expected + '\0');
}

TEST(FormatRequest, FitsUpToCapacityLessOneAndNeverWritesPastIt) {
  const std::string host = "h.example";
  const int fixed = static_cast<int>(Fixed(host).size());
  struct Case {
    int requestLength;
    int expected;
  } cases[] = {
      {kRequestCapacity - 2, kRequestCapacity - 2},
      {kRequestCapacity - 1, kRequestCapacity - 1},
      {kRequestCapacity, -1},
      {kRequestCapacity + 500, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requestLength);
    std::string target(static_cast<size_t>(c.requestLength - fixed), 'a');
    char area[kRequestCapacity + 64];
    std::memset(area, kFill, sizeof area);
    EXPECT_EQ(FormatRequest(host.c_str(), target.c_str(), area, kRequestCapacity), c.expected);
    for (size_t i = kRequestCapacity; i < sizeof area; ++i) ASSERT_EQ(area[i], kFill) << i;
    if (c.expected > 0) {
      EXPECT_EQ(area[c.expected], '\0');
      EXPECT_EQ(std::string(area, 4), "GET ");
    }
  }
}

TEST(ExtractBody, MovesTheBodyWithItsTerminator) {
  struct Case {
    const char* name;
    std::string received;
    int expected;
    std::string buffer;  // expected leading bytes of the buffer, terminator included
  } cases[] = {
      {"plain", "HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody", 4, std::string("body\0", 5)},
      {"empty body", "HTTP/1.1 200 OK\r\n\r\n", 0, std::string("\0", 1)},
      {"first blank line wins", "H\r\n\r\n\r\n\r\nx", 5, std::string("\r\n\r\nx\0", 6)},
      {"header end at the start", "\r\n\r\nxyz", 3, std::string("xyz\0", 4)},
      {"body longer than headers", "H\r\n\r\n" + std::string(40, 'b'), 40,
       std::string(40, 'b') + '\0'},
      {"zero byte in body", std::string("H\r\n\r\nab\0cd", 10), 5, std::string("ab\0cd\0", 6)},
      {"near miss then end", "H\r\r\n\r\n\r\nx", 3, std::string("\r\nx\0", 4)},
      {"bare line feeds", "HTTP/1.1 200 OK\nA: b\n\nbody", -1,
       std::string("HTTP/1.1 200 OK\nA: b\n\nbody\0", 27)},
      {"zero byte hides the end", std::string("H\0\r\n\r\nbody", 10), -1,
       std::string("H\0\r\n\r\nbody\0", 11)},
      {"cut header end", "H\r\n\r", -1, std::string("H\r\n\r\0", 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char buffer[128];
    std::memset(buffer, kFill, sizeof buffer);
    std::memcpy(buffer, c.received.data(), c.received.size());
    int n = static_cast<int>(c.received.size());
    EXPECT_EQ(ExtractBody(buffer, n), c.expected);
    EXPECT_EQ(std::string(buffer, c.buffer.size()), c.buffer);
    for (size_t i = c.received.size() + 1; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], kFill) << i;
  }
}

TEST(ExtractBody, TerminatesInTheLastByteOfAFullBuffer) {
  // size 16: the receive filled all 16 bytes, the terminator takes the 17th.
  char buffer[18];
  std::memset(buffer, kFill, sizeof buffer);
  std::memcpy(buffer, "HTTP/1.1\r\n\r\n1234", 16);
  EXPECT_EQ(ExtractBody(buffer, 16), 4);
  EXPECT_EQ(std::string(buffer, 5), std::string("1234\0", 5));
  EXPECT_EQ(buffer[16], '\0');
  EXPECT_EQ(buffer[17], kFill);
}
