#include "tests/support/loopback_server.h"

#include <chrono>
#include <cstdint>

ServerStep Reply(std::string bytes) {
  ServerStep step;
  step.bytes = std::move(bytes);
  return step;
}

ServerStep HttpReply(const std::string& body, const char* status) {
  return Reply(std::string("HTTP/1.1 ") + status + "\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

ServerStep Silent() {
  ServerStep step;
  step.kind = ServerStep::Kind::Silent;
  return step;
}

ServerStep CurrentTime(int64_t offsetSeconds) {
  ServerStep step;
  step.kind = ServerStep::Kind::Now;
  step.offsetSeconds = offsetSeconds;
  return step;
}

ServerStep CloseAtOnce() {
  ServerStep step;
  step.kind = ServerStep::Kind::CloseAtOnce;
  return step;
}

ServerStep Split(std::string first, std::string second, int delayMs) {
  ServerStep step;
  step.kind = ServerStep::Kind::Split;
  step.bytes = std::move(first);
  step.more = std::move(second);
  step.delayMs = delayMs;
  return step;
}

LoopbackServer::LoopbackServer(const char* ip, std::vector<ServerStep> script)
    : script_(std::move(script)) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return;
  BOOL reuse = TRUE;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(80);
  address.sin_addr.s_addr = inet_addr(ip);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(s, 16) != 0) {
    closesocket(s);
    return;
  }
  listener_ = s;
  thread_ = std::thread([this] { Serve(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  if (listener_ != INVALID_SOCKET) closesocket(listener_);
  if (thread_.joinable()) thread_.join();
}

void LoopbackServer::SetScript(std::vector<ServerStep> script) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = std::move(script);
  scriptStart_ = connections_.load();
}

std::vector<std::string> LoopbackServer::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void LoopbackServer::Serve() {
  for (;;) {
    SOCKET client = accept(listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) {
      if (stopping_) return;
      continue;
    }
    ServerStep step;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      size_t index = static_cast<size_t>(connections_.load() - scriptStart_);
      if (!script_.empty()) step = script_[index < script_.size() ? index : script_.size() - 1];
    }
    ++connections_;
    Play(client, step);
    closesocket(client);
  }
}

void LoopbackServer::Play(SOCKET client, const ServerStep& step) {
  if (step.kind == ServerStep::Kind::CloseAtOnce) return;
  char request[4096];
  int n = recv(client, request, sizeof request, 0);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.emplace_back(request, n > 0 ? n : 0);
  }
  switch (step.kind) {
    case ServerStep::Kind::Reply:
      send(client, step.bytes.data(), static_cast<int>(step.bytes.size()), 0);
      break;
    case ServerStep::Kind::Split:
      send(client, step.bytes.data(), static_cast<int>(step.bytes.size()), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(step.delayMs));
      send(client, step.more.data(), static_cast<int>(step.more.size()), 0);
      break;
    case ServerStep::Kind::Now: {
      FILETIME now;
      GetSystemTimeAsFileTime(&now);
      // 100 ns units since 1601 to milliseconds since 1970.
      uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
      int64_t ms = static_cast<int64_t>(ticks / 10000) - 11644473600000 + step.offsetSeconds * 1000;
      std::string reply = HttpReply(std::to_string(ms)).bytes;
      send(client, reply.data(), static_cast<int>(reply.size()), 0);
      break;
    }
    case ServerStep::Kind::Silent:
      // Nothing is sent: the wait below lasts until the client gives up.
      break;
    case ServerStep::Kind::CloseAtOnce:
      break;
  }
  // Let the peer read everything before the close.
  if (step.kind != ServerStep::Kind::Silent) shutdown(client, SD_SEND);
  constexpr int kReplyCloseWaitMs = 3000;
  int waitMs = step.kind == ServerStep::Kind::Silent ? -1 : kReplyCloseWaitMs;
  if (AwaitClientClose(client, waitMs)) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++clientCloses_;
    closed_.notify_all();
  }
}

bool LoopbackServer::AwaitClientClose(SOCKET client, int timeoutMs) {
  int roundMs = 50;
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&roundMs),
             sizeof roundMs);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!stopping_) {
    char scratch[512];
    int n = recv(client, scratch, sizeof scratch, 0);
    if (n == 0) return true;
    if (n < 0 && WSAGetLastError() != WSAETIMEDOUT) return true;
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
  }
  return false;
}

int LoopbackServer::WaitForClientCloses(int count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  closed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                   [&] { return clientCloses_ >= count; });
  return clientCloses_;
}
