// Tells the service manager what the server is doing, over the datagram
// socket it names in $NOTIFY_SOCKET (readiness, reload, stop, status and the
// watchdog). Without $NOTIFY_SOCKET every call does nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <sys/socket.h>
#include <sys/un.h>

namespace oramet {

// "/run/systemd/notify" or "@abstract-name" as a socket address; false for
// anything else (relative, empty, too long).
bool notify_address(std::string_view text, struct sockaddr_un &out, socklen_t &len);

class Notifier {
public:
    // Reads $NOTIFY_SOCKET, and $WATCHDOG_USEC when $WATCHDOG_PID is unset
    // or names this process.
    Notifier();
    ~Notifier();
    Notifier(const Notifier &) = delete;
    Notifier &operator=(const Notifier &) = delete;

    bool active() const { return fd_ >= 0; }
    // Microseconds within which the manager wants WATCHDOG=1; 0: no watchdog.
    std::uint64_t watchdog_usec() const { return watchdog_usec_; }
    // One datagram of "KEY=value" lines. Lost messages are the manager's
    // loss, never the server's: nothing is retried or reported.
    void send(std::string_view message) const;

private:
    int fd_ = -1;
    struct sockaddr_un addr_ {};
    socklen_t addr_len_ = 0;
    std::uint64_t watchdog_usec_ = 0;
};

}  // namespace oramet
