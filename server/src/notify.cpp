#include "notify.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "digits.hpp"

namespace oramet {

bool notify_address(std::string_view text, struct sockaddr_un &out, socklen_t &len) {
    std::memset(&out, 0, sizeof out);
    out.sun_family = AF_UNIX;
    if (text.size() < 2 || text.size() > sizeof(out.sun_path) - 1 || (text[0] != '/' && text[0] != '@'))
        return false;
    std::memcpy(out.sun_path, text.data(), text.size());
    // An abstract address is the name after a NUL, and no terminator counts.
    if (text[0] == '@') out.sun_path[0] = '\0';
    len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + text.size() + (text[0] == '/' ? 1 : 0));
    return true;
}

Notifier::Notifier() {
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr) return;
    if (!notify_address(path, addr_, addr_len_)) {
        std::fprintf(stderr, "oramet-timed: NOTIFY_SOCKET=%s is not a socket address; not notifying\n", path);
        return;
    }
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        std::fprintf(stderr, "oramet-timed: cannot notify the service manager: %s\n", std::strerror(errno));
        return;
    }
    const char *usec = std::getenv("WATCHDOG_USEC");
    const char *pid = std::getenv("WATCHDOG_PID");
    std::uint64_t value = 0;
    if (usec != nullptr && parse_uint<std::uint64_t>(usec, value, 1, UINT64_MAX) &&
        (pid == nullptr || std::to_string(getpid()) == pid))
        watchdog_usec_ = value;
}

Notifier::~Notifier() {
    if (fd_ >= 0) close(fd_);
}

void Notifier::send(std::string_view message) const {
    if (fd_ < 0) return;
    ssize_t n = sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL,
                       reinterpret_cast<const struct sockaddr *>(&addr_), addr_len_);
    (void)n;  // see above: the manager's loss
}

}  // namespace oramet
