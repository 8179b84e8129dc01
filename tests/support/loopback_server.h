// A scripted HTTP peer on port 80 of one loopback address, run on a thread of
// its own. Each accepted connection reads the request once, then plays the
// next step of the script (the last step repeats), then waits for the client
// to close its end. An address with no LoopbackServer refuses connections.
#pragma once
#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ServerStep {
  enum class Kind {
    Reply,       // send `bytes` in one send, then close
    Split,       // send `bytes`, wait `delayMs`, send `more`, then close
    Silent,      // accept, read, send nothing until the client closes or the server stops
    CloseAtOnce, // close right after accepting, without reading
    Now          // an HTTP reply of this machine's time as the server sends it, then close
  };
  Kind kind = Kind::Reply;
  std::string bytes;
  std::string more;
  int delayMs = 0;
  int64_t offsetSeconds = 0;  // Now: added to the host's clock
};

// Reply takes any bytes, so a test shapes them as it needs: bare line feeds,
// a zero byte, exactly as many bytes as the client's buffer takes.
ServerStep Reply(std::string bytes);
// "HTTP/1.1 200 OK" headers with a Content-Length, then body.
ServerStep HttpReply(const std::string& body, const char* status = "200 OK");
ServerStep Silent();
// The time body ("<seconds><3 digits of ms>") of the host's clock when the
// connection is played: a clock set from it moves by well under a second.
// With an offset, that many seconds later (earlier when negative).
ServerStep CurrentTime(int64_t offsetSeconds = 0);
ServerStep CloseAtOnce();
ServerStep Split(std::string first, std::string second, int delayMs);

class LoopbackServer {
public:
  // Listens on ip:80 at once; check listening() before use.
  explicit LoopbackServer(const char* ip, std::vector<ServerStep> script = {});
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  bool listening() const { return listener_ != INVALID_SOCKET; }
  // The next connection plays the new script's first step.
  void SetScript(std::vector<ServerStep> script);
  std::vector<std::string> requests();
  int connections() const { return connections_.load(); }
  // Waits until the clients of count connections have closed theirs (seen
  // as end of stream or reset), at most timeoutMs; returns how many have.
  // A client that keeps its socket open is never counted.
  int WaitForClientCloses(int count, int timeoutMs);

private:
  void Serve();
  void Play(SOCKET client, const ServerStep& step);
  // True once the client closed its end; gives up after timeoutMs (never
  // when it is negative), or as soon as the server stops.
  bool AwaitClientClose(SOCKET client, int timeoutMs);

  SOCKET listener_ = INVALID_SOCKET;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::vector<ServerStep> script_;
  std::vector<std::string> requests_;
  int scriptStart_ = 0;  // connections before the script was set; guarded by mutex_
  int clientCloses_ = 0;  // guarded by mutex_
  std::condition_variable closed_;
  std::thread thread_;
};
