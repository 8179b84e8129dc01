#include "metrics_listener.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "worker.hpp"

namespace oramet {
namespace {

// A scraper gets this long to send its request; Prometheus sends it at once.
constexpr int kScrapeReadMs = 2000;
constexpr std::size_t kMaxScrapeRequest = 4096;

// Reads a request head into `out`; false on a time-out, a close, or stop.
bool read_head(int fd, int stop_fd, std::string &out) {
    std::uint64_t deadline = monotonic_us() + std::uint64_t{kScrapeReadMs} * 1000;
    while (out.find("\r\n\r\n") == std::string::npos) {
        std::uint64_t now = monotonic_us();
        if (now >= deadline || out.size() >= kMaxScrapeRequest) return false;
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        int r = poll(p, 2, static_cast<int>((deadline - now + 999) / 1000));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || p[1].revents != 0) return false;
        char buf[1024];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

std::string reply(const char *status, std::string_view content_type, std::string_view body, bool head_only) {
    std::string r = "HTTP/1.1 ";
    r += status;
    r += "\r\nContent-Type: ";
    r += content_type;
    r += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (!head_only) r += body;
    return r;
}

std::string answer(std::string_view head, Shared &shared) {
    std::string_view line = head.substr(0, head.find("\r\n"));
    auto sp1 = line.find(' ');
    auto sp2 = line.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1 || line.substr(sp2 + 1, 7) != "HTTP/1.")
        return reply("400 Bad Request", "text/plain", "bad request\n", false);
    std::string_view method = line.substr(0, sp1);
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view path = target.substr(0, target.find('?'));
    if (path != "/metrics" && path != "/ready" && path != "/live")
        return reply("404 Not Found", "text/plain", "not found\n", false);
    if (method != "GET" && method != "HEAD")
        return reply("405 Method Not Allowed", "text/plain", "GET only\n", false);
    // A load balancer asks /ready: off while draining and before the
    // listeners are up, never for maintenance or the clock, which are
    // answered "~" rather than with a reset. A supervisor asks /live.
    if (path == "/ready")
        return shared.ready.load(std::memory_order_relaxed)
                   ? reply("200 OK", "text/plain", "ready", method == "HEAD")
                   : reply("503 Service Unavailable", "text/plain", "draining", method == "HEAD");
    if (path == "/live")
        return workers_beating(shared, shared.live_window_us)
                   ? reply("200 OK", "text/plain", "live", method == "HEAD")
                   : reply("503 Service Unavailable", "text/plain", "stuck", method == "HEAD");
    return reply("200 OK", "text/plain; version=0.0.4; charset=utf-8", format_metrics(take_snapshot(shared)),
                 method == "HEAD");
}

void send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the scraper left or stalled past the send time-out
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

MetricsSnapshot take_snapshot(Shared &shared) {
    MetricsSnapshot s;
    for (const Worker *w : shared.workers) s.add(w->counters);
    s.open_connections = shared.budget.open();
    s.offence_entries = shared.abuse.size();
    s.blocked_addresses = shared.abuse.blocked_count();
    s.reloads_ok = shared.reloads_ok.load(std::memory_order_relaxed);
    s.reloads_failed = shared.reloads_failed.load(std::memory_order_relaxed);
    s.clock_synced = shared.clock.synced();
    if (shared.store) {
        s.store_configured = true;
        s.store_up = shared.store->up();
        s.store_dropped = shared.store->dropped();
        s.store_blocked = shared.store->blocked_count();
    }
    return s;
}

bool MetricsListener::start(int fd, Shared &shared) {
    fd_ = fd;
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0) {
        stop();
        return false;
    }
    thread_ = std::thread([this, &shared] { run(shared); });
    return true;
}

void MetricsListener::stop() {
    if (thread_.joinable()) {
        char b = 1;
        ssize_t n = write(stop_pipe_[1], &b, 1);
        (void)n;  // an empty pipe always takes a byte
        thread_.join();
    }
    for (int *fd : {&fd_, &stop_pipe_[0], &stop_pipe_[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

// One scrape at a time: scrapers are few, and a slow one costs only its
// own time-out.
void MetricsListener::run(Shared &shared) {
    for (;;) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents != 0) return;
        int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            // Out of descriptors: the connection waits in the queue; do not spin on it.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                pollfd s{stop_pipe_[0], POLLIN, 0};
                if (poll(&s, 1, 1000) > 0) return;
            }
            continue;
        }
        struct timeval send_limit = {kScrapeReadMs / 1000, 0};
        // Without it a scraper that stops reading holds the thread; should it
        // fail, a stalled scraper still only delays the next scrape.
        setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit);
        std::string head;
        if (read_head(c, stop_pipe_[0], head)) send_all(c, answer(head, shared));
        close(c);
    }
}

}  // namespace oramet
