#include "net/http_get.h"

#include <cstring>
#include <ctime>

#include "net/http_reply.h"

namespace {

// Owns one exchange's socket: closes it on every path, shutting the
// connection down first once there is one.
class SocketOwner {
public:
  explicit SocketOwner(SOCKET socket) : socket_(socket) {}
  ~SocketOwner() {
    if (socket_ == INVALID_SOCKET) return;
    // Both results are ignored: the exchange's result is already decided.
    if (connected_) shutdown(socket_, SD_BOTH);
    closesocket(socket_);
  }
  SocketOwner(const SocketOwner&) = delete;
  SocketOwner& operator=(const SocketOwner&) = delete;

  SOCKET get() const { return socket_; }
  bool valid() const { return socket_ != INVALID_SOCKET; }
  void MarkConnected() { connected_ = true; }

private:
  SOCKET socket_;
  bool connected_ = false;
};

}  // namespace

int HttpGet(const char* host, const char* target, char* buffer, int size,
            int32_t* roundTripMs) {
  const hostent* entry = gethostbyname(host);
  if (entry == nullptr) return kHttpNoAddress;

  SocketOwner socket(::socket(AF_INET, SOCK_STREAM, 0));
  if (!socket.valid()) return kHttpNoSocket;

  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(80);
  std::memcpy(&address.sin_addr, entry->h_addr_list[0],
              static_cast<size_t>(entry->h_length));

  if (!ConnectWithTimeout(socket.get(), &address, 5)) return kHttpNoConnection;
  socket.MarkConnected();

  // Formed before anything is received: the target may lie in buffer.
  char request[kRequestCapacity];
  int length = FormatRequest(host, target, request, kRequestCapacity);
  if (length < 0) return kHttpSendIncomplete;

  int receiveTimeoutMs = 5000;
  // Ignored: without the time-out the receive merely waits longer.
  setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO,
             reinterpret_cast<const char*>(&receiveTimeoutMs), 4);

  // msvcrt's clock counts elapsed real time in milliseconds.
  clock_t t0 = clock();
  if (send(socket.get(), request, length, 0) != length) return kHttpSendIncomplete;
  int received = recv(socket.get(), buffer, size, 0);
  clock_t t1 = clock();
  // Unsigned, so that the difference stays right when clock's 32-bit count
  // wraps after 24.8 days of running.
  *roundTripMs = static_cast<int32_t>(static_cast<uint32_t>(t1) - static_cast<uint32_t>(t0));
  if (received < 1) return kHttpNothingReceived;

  int body = ExtractBody(buffer, received);
  return body < 0 ? kHttpNoHeaderEnd : body;
}

bool ConnectWithTimeout(SOCKET socket, const sockaddr_in* address, int timeoutSeconds) {
  timeval timeout{timeoutSeconds, 0};
  u_long nonBlocking = 1;
  if (ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) return false;
  // Not examined: a non-blocking connect normally reports that it would block.
  connect(socket, reinterpret_cast<const sockaddr*>(address), sizeof *address);
  u_long blocking = 0;
  if (ioctlsocket(socket, FIONBIO, &blocking) != 0) return false;

  // Winsock marks a made connection writable and a failed one only in the
  // exception set; a time-out empties both.
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(socket, &writable);
  FD_SET(socket, &failed);
  if (select(0, nullptr, &writable, &failed, &timeout) == SOCKET_ERROR) return false;
  return __WSAFDIsSet(socket, &writable) != 0;
}
