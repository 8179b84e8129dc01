// oramet-load: a small load generator for scripts/bench-server.sh.
//
//   oramet-load rate  IP PORT TARGET CONNECTIONS SECONDS [THREADS]
//       Keeps CONNECTIONS connections busy for SECONDS, each carrying one
//       GET (with "Connection: close") and read until the server closes, as
//       the Oramet client does. THREADS (default 2) epoll loops share the
//       connections, so that the generator is not the bottleneck. Prints
//       requests/s and latency percentiles (connect to close).
//   oramet-load flood IP PORT TARGET CONNECTIONS SECONDS SOURCE
//       Holds CONNECTIONS connections from the one address SOURCE for
//       SECONDS, as an attacker holding slots would: half send nothing,
//       half trickle the request one byte a second. A connection the server
//       closes is opened again a second later (so the flood's own load stays
//       bounded). Prints how many it opened, how many the server cut and how
//       many it held on average.
//   oramet-load tls-rate IP PORT TARGET CONNECTIONS SECONDS
//       As rate, over TLS 1.3 with a full handshake on every connection (no
//       resumption, the certificate not checked): one blocking thread per
//       connection, which is simplest where the handshake's arithmetic, not
//       waiting, is the cost.
//   oramet-load stamp IP PORT TARGET COUNT
//       Sends COUNT sequential time requests and compares each returned
//       time with this machine's clock at the midpoint between sending the
//       request and receiving the reply. Prints the error distribution.
//
// The rate and stamp clients are bound round-robin to 127.0.1.1-127.0.1.64,
// like many ordinary clients each making a request now and then, and so that
// a long run does not run out of ephemeral ports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifndef IP_BIND_ADDRESS_NO_PORT
#define IP_BIND_ADDRESS_NO_PORT 24
#endif

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in g_target{};
std::string g_request;
std::atomic<unsigned> g_source{0};

// Source 0 picks the next of 127.0.1.1-127.0.1.64.
int open_conn(in_addr_t source = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in src{};
    src.sin_family = AF_INET;
    src.sin_addr.s_addr = source != 0 ? source : htonl(0x7f000101u + (g_source++ % 64));
    if (bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) {
        close(fd);
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&g_target), sizeof g_target) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Slot {
    int fd = -1;
    Clock::time_point start;
    size_t sent = 0;
    bool ok_status = false;
    size_t got = 0;
    char head[16];
};

struct Result {
    std::vector<float> latencies_us;
    unsigned long errors = 0;
};

void rate_thread(int conns, Clock::time_point end, Result *out) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Slot> slots(static_cast<size_t>(conns));
    auto start_slot = [&](size_t i) {
        Slot &s = slots[i];
        s = Slot{};
        s.start = Clock::now();
        s.fd = open_conn();
        if (s.fd < 0) {
            ++out->errors;
            return;
        }
        epoll_event ev{};
        ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, s.fd, &ev);
    };
    auto finish_slot = [&](size_t i, bool ok) {
        Slot &s = slots[i];
        if (ok)
            out->latencies_us.push_back(
                std::chrono::duration<float, std::micro>(Clock::now() - s.start).count());
        else
            ++out->errors;
        close(s.fd);
        s.fd = -1;
        if (Clock::now() < end) start_slot(i);
    };
    for (size_t i = 0; i < slots.size(); ++i) start_slot(i);
    std::vector<epoll_event> events(256);
    int active = conns;
    while (active > 0) {
        int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
        for (int k = 0; k < n; ++k) {
            size_t i = events[k].data.u64;
            Slot &s = slots[i];
            if (s.fd < 0) continue;
            if (s.sent < g_request.size()) {
                ssize_t w = send(s.fd, g_request.data() + s.sent, g_request.size() - s.sent, MSG_NOSIGNAL);
                if (w > 0) {
                    s.sent += static_cast<size_t>(w);
                    if (s.sent == g_request.size()) {
                        epoll_event ev{};
                        ev.events = EPOLLIN | EPOLLRDHUP;
                        ev.data.u64 = i;
                        epoll_ctl(ep, EPOLL_CTL_MOD, s.fd, &ev);
                    }
                } else if (w < 0 && errno != EAGAIN) {
                    finish_slot(i, false);
                }
                continue;
            }
            for (;;) {
                char buf[2048];
                ssize_t r = recv(s.fd, buf, sizeof buf, 0);
                if (r > 0) {
                    for (ssize_t b = 0; b < r && s.got < sizeof s.head; ++b) s.head[s.got++] = buf[b];
                    if (s.got >= 12) s.ok_status = std::memcmp(s.head, "HTTP/1.1 200", 12) == 0;
                    continue;
                }
                if (r == 0) finish_slot(i, s.ok_status);
                else if (errno != EAGAIN) finish_slot(i, false);
                break;
            }
        }
        auto now = Clock::now();
        if (now >= end) {
            active = 0;
            for (auto &s : slots)
                if (s.fd >= 0) ++active;
        }
        // A reply still missing 10 s after the end is an error, so a run
        // never waits on a server that holds its connections.
        if (active > 0 && now >= end + std::chrono::seconds(10)) {
            out->errors += static_cast<unsigned long>(active);
            break;
        }
    }
    for (auto &s : slots)
        if (s.fd >= 0) close(s.fd);
    close(ep);
}

double pct(std::vector<float> &v, double p) {
    if (v.empty()) return NAN;
    size_t idx = static_cast<size_t>(std::min<double>(v.size() - 1, std::floor(p / 100.0 * v.size())));
    return v[idx];
}

// Prints the threads' results as one line, key=value, for the script to pick
// apart; 1 when no request was answered.
int report(const std::vector<Result> &results, Clock::time_point t0) {
    double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    std::vector<float> all;
    unsigned long errors = 0;
    for (auto &r : results) {
        all.insert(all.end(), r.latencies_us.begin(), r.latencies_us.end());
        errors += r.errors;
    }
    std::sort(all.begin(), all.end());
    std::printf("requests=%zu errors=%lu rps=%.0f p50_us=%.0f p90_us=%.0f p99_us=%.0f max_us=%.0f\n", all.size(),
                errors, all.size() / elapsed, pct(all, 50), pct(all, 90), pct(all, 99),
                all.empty() ? NAN : all.back());
    return all.empty() ? 1 : 0;
}

int do_rate(int conns, double seconds, int threads) {
    auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto t0 = Clock::now();
    std::vector<Result> results(static_cast<size_t>(threads));
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t)
        ts.emplace_back(rate_thread, conns / threads + (t < conns % threads ? 1 : 0), end, &results[t]);
    for (auto &t : ts) t.join();
    return report(results, t0);
}

void tls_rate_thread(SSL_CTX *ctx, Clock::time_point end, Result *out) {
    while (Clock::now() < end) {
        auto start = Clock::now();
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        timeval tv{10, 0};  // a reply missing that long is an error
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = htonl(0x7f000101u + (g_source++ % 64));
        bool ok = false;
        SSL *ssl = nullptr;
        if (bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) == 0 &&
            connect(fd, reinterpret_cast<sockaddr *>(&g_target), sizeof g_target) == 0) {
            ssl = SSL_new(ctx);
            SSL_set_fd(ssl, fd);
            if (SSL_connect(ssl) == 1 &&
                SSL_write(ssl, g_request.data(), static_cast<int>(g_request.size())) == static_cast<int>(g_request.size())) {
                char buf[2048];
                std::string head;
                int n;
                while ((n = SSL_read(ssl, buf, sizeof buf)) > 0)
                    if (head.size() < 12) head.append(buf, static_cast<size_t>(std::min(n, 12)));
                ok = head.compare(0, 12, "HTTP/1.1 200") == 0;
            }
            SSL_free(ssl);
        }
        close(fd);
        if (ok)
            out->latencies_us.push_back(std::chrono::duration<float, std::micro>(Clock::now() - start).count());
        else
            ++out->errors;
    }
}

int do_tls_rate(int conns, double seconds) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto t0 = Clock::now();
    std::vector<Result> results(static_cast<size_t>(conns));
    std::vector<std::thread> ts;
    for (int t = 0; t < conns; ++t) ts.emplace_back(tls_rate_thread, ctx, end, &results[t]);
    for (auto &t : ts) t.join();
    int rc = report(results, t0);
    SSL_CTX_free(ctx);
    return rc;
}

struct FloodSlot {
    int fd = -1;
    bool trickles = false;        // sends a byte a second, else nothing
    size_t sent = 0;
    Clock::time_point next;       // next byte, or next attempt to connect when fd < 0
};

int do_flood(int conns, double seconds, in_addr_t source) {
    auto t0 = Clock::now();
    auto end = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<FloodSlot> slots(static_cast<size_t>(conns));
    unsigned long opened = 0, cut = 0, failed = 0;
    double held_sum = 0;
    unsigned long ticks = 0;
    int held = 0;
    auto next_sample = t0;
    auto open_slot = [&](size_t i, Clock::time_point now) {
        FloodSlot &s = slots[i];
        s.sent = 0;
        s.next = now + std::chrono::seconds(1);
        s.fd = open_conn(source);
        if (s.fd < 0) {
            ++failed;
            return;
        }
        ++opened;
        ++held;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, s.fd, &ev);
    };
    auto drop_slot = [&](size_t i, Clock::time_point now) {
        FloodSlot &s = slots[i];
        close(s.fd);
        s.fd = -1;
        --held;
        ++cut;
        s.next = now + std::chrono::seconds(1);
    };
    for (size_t i = 0; i < slots.size(); ++i) {
        slots[i].trickles = i % 2 == 1;
        open_slot(i, Clock::now());
    }
    std::vector<epoll_event> events(256);
    for (;;) {
        auto now = Clock::now();
        if (now >= end) break;
        int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 50);
        now = Clock::now();
        for (int k = 0; k < n; ++k) {
            size_t i = events[k].data.u64;
            if (slots[i].fd < 0) continue;
            char buf[2048];
            ssize_t r = recv(slots[i].fd, buf, sizeof buf, 0);
            if (r > 0) continue;  // a reply or an error page; the server closes next
            if (r == 0 || errno != EAGAIN) drop_slot(i, now);
        }
        for (size_t i = 0; i < slots.size(); ++i) {
            FloodSlot &s = slots[i];
            if (s.next > now) continue;
            if (s.fd < 0) {
                open_slot(i, now);
            } else if (s.trickles && s.sent < g_request.size()) {
                if (send(s.fd, g_request.data() + s.sent, 1, MSG_NOSIGNAL) == 1) ++s.sent;
                s.next = now + std::chrono::seconds(1);
            } else {
                s.next = end;
            }
        }
        if (now >= next_sample) {  // sampled in time, not per event
            held_sum += held;
            ++ticks;
            next_sample = now + std::chrono::milliseconds(50);
        }
    }
    for (auto &s : slots)
        if (s.fd >= 0) close(s.fd);
    close(ep);
    std::printf("opened=%lu cut=%lu failed=%lu held_avg=%.0f\n", opened, cut, failed,
                ticks ? held_sum / ticks : 0.0);
    return opened > 0 ? 0 : 1;
}

double realtime_s() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

int do_stamp(int count) {
    std::vector<double> err_ms, abs_ms;
    std::vector<double> rtt_us;
    for (int i = 0; i < count; ++i) {
        int fd = open_conn();
        if (fd < 0) return 1;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 5000);  // connected
        double t1 = realtime_s();
        send(fd, g_request.data(), g_request.size(), MSG_NOSIGNAL);
        std::string got;
        double t2 = 0;
        for (;;) {
            pollfd q{fd, POLLIN, 0};
            if (poll(&q, 1, 5000) <= 0) break;
            char buf[2048];
            ssize_t r = recv(fd, buf, sizeof buf, 0);
            if (r <= 0) break;
            if (got.empty()) t2 = realtime_s();  // first bytes of the reply
            got.append(buf, static_cast<size_t>(r));
        }
        close(fd);
        auto sep = got.find("\r\n\r\n");
        if (sep == std::string::npos || t2 == 0) continue;
        std::string body = got.substr(sep + 4);
        if (body.size() < 13 || body.find_first_not_of("0123456789") != std::string::npos) continue;
        double served = std::strtod(body.c_str(), nullptr) / 1000.0;
        double e = (served - (t1 + t2) / 2) * 1000.0;
        err_ms.push_back(e);
        abs_ms.push_back(std::fabs(e));
        rtt_us.push_back((t2 - t1) * 1e6);
    }
    if (err_ms.empty()) return 1;
    std::sort(err_ms.begin(), err_ms.end());
    std::sort(abs_ms.begin(), abs_ms.end());
    std::sort(rtt_us.begin(), rtt_us.end());
    auto at = [](std::vector<double> &v, double p) {
        return v[static_cast<size_t>(std::min<double>(v.size() - 1, std::floor(p / 100.0 * v.size())))];
    };
    std::printf("samples=%zu median_ms=%.3f p95_abs_ms=%.3f max_abs_ms=%.3f median_rtt_us=%.0f\n", err_ms.size(),
                at(err_ms, 50), at(abs_ms, 95), abs_ms.back(), at(rtt_us, 50));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 6) {
        std::fprintf(stderr,
                     "usage: %s rate IP PORT TARGET CONNECTIONS SECONDS [THREADS]\n"
                     "       %s flood IP PORT TARGET CONNECTIONS SECONDS SOURCE\n"
                     "       %s tls-rate IP PORT TARGET CONNECTIONS SECONDS\n"
                     "       %s stamp IP PORT TARGET COUNT\n",
                     argv[0], argv[0], argv[0], argv[0]);
        return 2;
    }
    // OpenSSL writes with send(); a server that closed first must not kill the run.
    std::signal(SIGPIPE, SIG_IGN);
    // A flood holds over a thousand sockets; take what the hard limit allows.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    std::string mode = argv[1];
    g_target.sin_family = AF_INET;
    g_target.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[3])));
    if (inet_pton(AF_INET, argv[2], &g_target.sin_addr) != 1) {
        std::fprintf(stderr, "bad IPv4 address %s\n", argv[2]);
        return 2;
    }
    g_request = std::string("GET ") + argv[4] +
                " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Horalin\r\nConnection: close\r\n\r\n";
    if (mode == "rate")
        return do_rate(std::atoi(argv[5]), argc > 6 ? std::atof(argv[6]) : 5.0, argc > 7 ? std::atoi(argv[7]) : 2);
    if (mode == "flood") {
        in_addr source{};
        if (argc < 8 || inet_pton(AF_INET, argv[7], &source) != 1) {
            std::fprintf(stderr, "flood needs a source IPv4 address\n");
            return 2;
        }
        return do_flood(std::atoi(argv[5]), std::atof(argv[6]), source.s_addr);
    }
    if (mode == "tls-rate") return do_tls_rate(std::atoi(argv[5]), argc > 6 ? std::atof(argv[6]) : 5.0);
    if (mode == "stamp") return do_stamp(std::atoi(argv[5]));
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
