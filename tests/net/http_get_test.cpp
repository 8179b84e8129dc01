#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "net/http_get.h"
#include "tests/support/loopback_server.h"

namespace {

constexpr int32_t kSentinel = static_cast<int32_t>(0xdeadbeef);
constexpr char kFill = '\x5A';

// Loopback addresses of this suite; nothing listens on kNobody.
constexpr char kServer[] = "127.0.0.10";
constexpr char kNobody[] = "127.0.0.11";
constexpr char kWire[] = "127.0.0.12";
constexpr char kSilent[] = "127.0.0.13";

constexpr char kHeaders[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";

std::string Bytes(const char* data, size_t length) { return std::string(data, length); }

// A caller's buffer of size + 1 bytes with guard bytes behind it, so that a
// write past the terminator's place is seen.
struct Buffer {
  explicit Buffer(int size) : size(size), bytes(static_cast<size_t>(size) + 1 + 32, kFill) {}
  char* data() { return bytes.data(); }
  bool GuardIntact() const {
    for (size_t i = static_cast<size_t>(size) + 1; i < bytes.size(); ++i)
      if (bytes[i] != kFill) return false;
    return true;
  }
  bool Untouched() const {
    for (char c : bytes)
      if (c != kFill) return false;
    return true;
  }
  int size;
  std::vector<char> bytes;
};

std::string ExpectedRequest(const std::string& target, const std::string& host) {
  return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: Horalin\r\n\r\n";
}

}  // namespace

TEST(HttpGet, UnresolvableHostGivesMinusOneAndTouchesNothing) {
  Buffer buffer(1023);
  int32_t roundTrip = kSentinel;
  EXPECT_EQ(HttpGet("nonexistent.invalid", "/", buffer.data(), buffer.size, &roundTrip), -1);
  EXPECT_EQ(roundTrip, kSentinel);
  EXPECT_TRUE(buffer.Untouched());
}

TEST(HttpGet, RefusedConnectionGivesMinusThreeAndTouchesNothing) {
  Buffer buffer(1023);
  int32_t roundTrip = kSentinel;
  EXPECT_EQ(HttpGet(kNobody, "/", buffer.data(), buffer.size, &roundTrip), -3);
  EXPECT_EQ(roundTrip, kSentinel);
  EXPECT_TRUE(buffer.Untouched());
}

TEST(HttpGet, RefusedConnectionDoesNotLeakTheSocket) {
  // Handle values are handed out lowest free first: had HttpGet kept its
  // socket, a fresh socket afterwards would get another value.
  auto probe = [] {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    closesocket(s);
    return s;
  };
  char buffer[64];
  int32_t roundTrip = kSentinel;
  ASSERT_EQ(HttpGet(kNobody, "/", buffer, 63, &roundTrip), -3);  // first-use allocations
  SOCKET before = probe();
  ASSERT_NE(before, INVALID_SOCKET);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(HttpGet(kNobody, "/", buffer, 63, &roundTrip), -3);
  EXPECT_EQ(probe(), before);
}

TEST(HttpGet, EachReplyShapeGivesItsResultAndBufferBytes) {
  const std::string headers = kHeaders;
  const int headerLength = static_cast<int>(headers.size());
  struct Case {
    const char* name;
    ServerStep step;
    int size;
    int expected;
    std::string buffer;  // expected leading bytes, terminator included; empty: untouched
  } cases[] = {
      {"body", Reply(headers + "1700000000123"), 1023, 13, Bytes("1700000000123\0", 14)},
      {"empty body", Reply(headers), 1023, 0, Bytes("\0", 1)},
      {"404 with a body", HttpReply("<html>gone</html>", "404 Not Found"), 1023, 17,
       Bytes("<html>gone</html>\0", 18)},
      {"bare line feeds", Reply("HTTP/1.1 200 OK\nA: b\n\nbody"), 1023, -6,
       Bytes("HTTP/1.1 200 OK\nA: b\n\nbody\0", 27)},
      {"zero byte in the headers", Reply(Bytes("HTTP/1.1 200 OK\r\nA: \0\r\n\r\nbody", 29)), 1023,
       -6, Bytes("HTTP/1.1 200 OK\r\nA: \0\r\n\r\nbody\0", 30)},
      {"zero byte in the body", Reply(headers + Bytes("ab\0cd", 5)), 1023, 5,
       Bytes("ab\0cd\0", 6)},
      {"exactly size bytes", Reply(headers + std::string(100, 'b')), headerLength + 100, 100,
       std::string(100, 'b') + '\0'},
      {"more than size bytes", Reply(headers + std::string(100, 'b')), headerLength + 60, 60,
       std::string(60, 'b') + '\0'},
      {"headers and body in two sends", Split(headers + "first", "second", 500), 1023, 5,
       Bytes("first\0", 6)},
      {"closed at once", CloseAtOnce(), 1023, -5, ""},
  };
  LoopbackServer server(kServer);
  ASSERT_TRUE(server.listening());
  int exchanges = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.SetScript({c.step});
    Buffer buffer(c.size);
    int32_t roundTrip = kSentinel;
    EXPECT_EQ(HttpGet(kServer, "/", buffer.data(), c.size, &roundTrip), c.expected);
    ++exchanges;
    EXPECT_NE(roundTrip, kSentinel);
    EXPECT_GE(roundTrip, 0);
    if (c.buffer.empty()) {
      EXPECT_TRUE(buffer.Untouched());
    } else {
      EXPECT_EQ(std::string(buffer.data(), c.buffer.size()), c.buffer);
    }
    EXPECT_TRUE(buffer.GuardIntact());
  }
  // Every exchange but the one the server closed itself ended with the
  // client closing its socket.
  EXPECT_EQ(server.WaitForClientCloses(exchanges - 1, 5000), exchanges - 1);
}

TEST(HttpGet, SendsExactlyTheRequestBytes) {
  LoopbackServer server(kWire, {Reply(std::string(kHeaders) + "ok")});
  ASSERT_TRUE(server.listening());
  char buffer[1024];
  int32_t roundTrip = kSentinel;
  ASSERT_EQ(HttpGet(kWire, "/?v=2.07", buffer, 1023, &roundTrip), 2);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0], ExpectedRequest("/?v=2.07", kWire));
  EXPECT_EQ(server.WaitForClientCloses(1, 5000), 1);
}

TEST(HttpGet, TargetInsideTheReceiveBufferIsSentBeforeTheReplyOverwritesIt) {
  const std::string body(300, 'r');
  LoopbackServer server(kWire, {Reply(std::string(kHeaders) + body)});
  ASSERT_TRUE(server.listening());
  for (size_t offset : {size_t{0}, size_t{40}}) {
    SCOPED_TRACE(offset);
    char buffer[1024];
    std::memset(buffer, kFill, sizeof buffer);
    std::strcpy(buffer + offset, "/?v=2.07");
    int32_t roundTrip = kSentinel;
    ASSERT_EQ(HttpGet(kWire, buffer + offset, buffer, 1023, &roundTrip), 300);
    EXPECT_EQ(std::string(buffer, 301), body + '\0');
  }
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[0], ExpectedRequest("/?v=2.07", kWire));
  EXPECT_EQ(server.requests()[1], ExpectedRequest("/?v=2.07", kWire));
}

TEST(HttpGet, RequestOfMoreThan1023BytesIsRefusedUnsent) {
  LoopbackServer server(kWire, {Reply(std::string(kHeaders) + "ok")});
  ASSERT_TRUE(server.listening());
  const int fixed = static_cast<int>(ExpectedRequest("", kWire).size());
  struct Case {
    int requestLength;
    int expected;
  } cases[] = {{1023, 2}, {1024, -4}, {4000, -4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requestLength);
    const std::string target = "/" + std::string(static_cast<size_t>(c.requestLength - fixed - 1), 't');
    Buffer buffer(1023);
    int32_t roundTrip = kSentinel;
    EXPECT_EQ(HttpGet(kWire, target.c_str(), buffer.data(), buffer.size, &roundTrip), c.expected);
    if (c.expected < 0) {
      EXPECT_EQ(roundTrip, kSentinel);
      EXPECT_TRUE(buffer.Untouched());
    }
  }
  // The server saw all three connections; only the first carried a request,
  // and the refused ones were still closed by the client.
  ASSERT_EQ(server.WaitForClientCloses(3, 5000), 3);
  std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].size(), 1023u);
  EXPECT_EQ(requests[0].substr(0, 5), "GET /");
  EXPECT_EQ(requests[1], "");
  EXPECT_EQ(requests[2], "");
}

TEST(HttpGet, SilentServerGivesMinusFiveAfterTheReceiveTimeOut) {
  LoopbackServer server(kSilent, {Silent()});
  ASSERT_TRUE(server.listening());
  Buffer buffer(1023);
  int32_t roundTrip = kSentinel;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(HttpGet(kSilent, "/", buffer.data(), buffer.size, &roundTrip), -5);
  auto elapsed = std::chrono::steady_clock::now() - start;
  // Hang bound only: the receive must give up by itself.
  EXPECT_LT(elapsed, std::chrono::seconds(30));
  // The measured span covers the whole wait of the receive.
  EXPECT_GE(roundTrip, 2500);
  EXPECT_TRUE(buffer.Untouched());
  EXPECT_EQ(server.WaitForClientCloses(1, 5000), 1);
}

TEST(ConnectWithTimeout, TrueForAListenerFalseForNoListener) {
  LoopbackServer server(kWire, {CloseAtOnce()});
  ASSERT_TRUE(server.listening());
  struct Case {
    const char* ip;
    bool expected;
  } cases[] = {{kWire, true}, {kNobody, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ip);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = inet_addr(c.ip);
    EXPECT_EQ(ConnectWithTimeout(s, &address, 5), c.expected);
    // Blocking again afterwards: a receive waits instead of failing at once
    // with WSAEWOULDBLOCK.
    if (c.expected) {
      char byte;
      EXPECT_EQ(recv(s, &byte, 1, 0), 0);
    }
    closesocket(s);
  }
}
