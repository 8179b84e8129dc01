// Start, reload and shutdown: listeners, workers, signals.
#include "worker.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "metrics_listener.hpp"
#include "notify.hpp"
#include "server.hpp"
#include "tls.hpp"

namespace oramet {
namespace {

// Without a watchdog, /live fails once a worker's loop has been still this
// long: half the shipped unit's WatchdogSec=10, as with the watchdog.
constexpr std::uint64_t kLiveWindowUs = 5000000;
// How long a start waits for the fleet's blocked set.
constexpr unsigned kFirstLoadMs = 2000;

// A worker's listener (`reuseport`) listens at once, holding silent
// connections as `idle_timeout_ms` asks from the first one on; else it is
// only bound.
int open_listener(const struct sockaddr_storage &addr, socklen_t len, bool reuseport, unsigned idle_timeout_ms,
                  std::string &error) {
    int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (reuseport && setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)) != 0) {
        error = std::string("SO_REUSEPORT: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    if (addr.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    if (bind(fd, reinterpret_cast<const struct sockaddr *>(&addr), len) != 0) {
        error = std::string("bind: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    if (reuseport) defer_accept(fd, idle_timeout_ms);  // the worker checks again when it starts
    if (reuseport && listen(fd, 1024) != 0) {
        error = std::string("listen: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

unsigned core_count() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

// Raises the soft descriptor limit to the hard one; returns the limit.
std::uint64_t raise_descriptor_limit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    if (rl.rlim_cur != rl.rlim_max) {
        struct rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) rl = raised;
    }
    return rl.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<std::uint64_t>(rl.rlim_cur);
}

std::uint64_t descriptor_limit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    return rl.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<std::uint64_t>(rl.rlim_cur);
}

// What raise_descriptor_limit() would reach, without raising it.
std::uint64_t hard_descriptor_limit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    return rl.rlim_max == RLIM_INFINITY ? UINT64_MAX : static_cast<std::uint64_t>(rl.rlim_max);
}

unsigned worker_count(const Config &cfg) {
    unsigned n = cfg.workers != 0 ? cfg.workers : core_count();
    return n > cfg.max_connections ? cfg.max_connections : n;
}

bool fits_descriptors(const Config &cfg, unsigned nworkers, std::uint64_t limit, std::string &error) {
    std::uint64_t needed = descriptors_needed(cfg.max_connections, nworkers) + (tls_on(cfg) ? nworkers : 0);
    if (needed <= limit) return true;
    error = "max-connections " + std::to_string(cfg.max_connections) + " needs " + std::to_string(needed) +
            " file descriptors with the server's own, but the limit is " + std::to_string(limit) +
            " (LimitNOFILE= in the unit, ulimit -n in a shell); lower max-connections or raise the limit";
    return false;
}

// Returns false, with the reason in `error`, when the old settings stay.
bool reload(Shared &shared, const std::vector<std::string> &args, unsigned nworkers, std::string &error) {
    Settings next;
    if (load_settings(args, next, error) != ArgsResult::Ok ||
        !fits_descriptors(next.config, nworkers, descriptor_limit(), error)) {
        std::fprintf(stderr, "oramet-timed: SIGHUP: settings not reloaded, keeping the old ones: %s\n",
                     error.c_str());
        shared.reloads_failed.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    auto old = shared.current();
    if (next.config.listen != old->config.listen || next.config.workers != old->config.workers ||
        next.config.metrics_listen != old->config.metrics_listen ||
        next.config.tls_listen != old->config.tls_listen ||
        next.config.offence_store != old->config.offence_store ||
        next.config.offence_store_prefix != old->config.offence_store_prefix ||
        next.store_password != old->store_password) {
        std::fprintf(stderr, "oramet-timed: SIGHUP: listen, tls-listen, metrics-listen, workers and the offence "
                             "store change only at a restart\n");
        next.config.listen = old->config.listen;
        next.config.workers = old->config.workers;
        next.config.metrics_listen = old->config.metrics_listen;
        next.config.tls_listen = old->config.tls_listen;
        next.config.offence_store = old->config.offence_store;
        next.config.offence_store_password_file = old->config.offence_store_password_file;
        next.config.offence_store_prefix = old->config.offence_store_prefix;
        next.store = old->store;
        next.store_password = old->store_password;
    }
    // An ACME client's renewal lands here. A pair that does not load, or a
    // key of another certificate, leaves the one in use serving.
    std::string tls_error;
    if (tls_on(next.config) && !load_tls(next.config, old->tls.get(), next.tls, tls_error)) {
        std::fprintf(stderr, "oramet-timed: SIGHUP: certificate not reloaded, keeping the old one: %s\n",
                     tls_error.c_str());
        next.config.tls_certificate = old->config.tls_certificate;
        next.config.tls_key = old->config.tls_key;
        next.tls = old->tls;
    }
    const Config &cfg = next.config;
    shared.abuse.set_limits(cfg.abuse_table_size, cfg.abuse_limit, wall_seconds());
    if (shared.store) shared.store->set_limit(cfg.abuse_limit);
    // Every worker is asked to reload below and takes up accepting with it,
    // so whether the new limits made room needs no answer here.
    shared.budget.set_limits(cfg.max_connections, cfg.max_connections_per_address);
    std::uint64_t generation;
    {
        std::lock_guard<std::mutex> running(shared.running_mutex);
        std::lock_guard<std::mutex> lock(shared.settings_mutex);
        shared.settings = std::make_shared<const Settings>(std::move(next));
        generation = ++shared.generation;
    }
    for (Worker *w : shared.workers) ask(w, kReload);
    // Done once every worker answers with the new settings, so that what
    // follows the reload (READY=1, the log line) is true of every request.
    {
        std::unique_lock<std::mutex> lock(shared.running_mutex);
        auto applied = [&] {
            for (const Worker *w : shared.workers)
                if (w->generation != generation) return false;
            return true;
        };
        if (!shared.running_cv.wait_for(lock, std::chrono::seconds(5), applied))
            std::fprintf(stderr, "oramet-timed: SIGHUP: a worker is slow to take the new settings\n");
    }
    shared.reloads_ok.fetch_add(1, std::memory_order_relaxed);
    std::fprintf(stderr, "oramet-timed: SIGHUP: settings reloaded\n");
    return true;
}

// The one-line summary `systemctl status` shows.
std::string status_line(Shared &shared, double requests_per_second) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "STATUS=%s%.0f requests/s, %u open connections",
                  shared.ready.load(std::memory_order_relaxed) ? "" : "draining, ", requests_per_second,
                  shared.budget.open());
    return buf;
}

std::string monotonic_usec_line() { return "MONOTONIC_USEC=" + std::to_string(monotonic_us()); }

// WATCHDOG=1 only while every worker's loop has beaten within half the
// watchdog's interval: a stuck worker stops the pings and the manager
// restarts the server. Logs the first stuck worker once.
bool workers_alive(Shared &shared, std::uint64_t watchdog_usec, bool &logged) {
    const std::int64_t now = static_cast<std::int64_t>(monotonic_us());
    for (std::size_t i = 0; i < shared.workers.size(); ++i) {
        std::int64_t quiet = now - shared.workers[i]->beat_us.load(std::memory_order_relaxed);
        if (quiet > static_cast<std::int64_t>(watchdog_usec / 2)) {
            if (!logged)
                std::fprintf(stderr, "oramet-timed: worker %zu has not run for %lld ms; withholding the watchdog\n",
                             i + 1, static_cast<long long>(quiet / 1000));
            logged = true;
            return false;
        }
    }
    logged = false;
    return true;
}

}  // namespace

int check_config(const std::vector<std::string> &args) {
    Settings settings;
    std::string error;
    switch (load_settings(args, settings, error)) {
    case ArgsResult::Help:
        std::fputs(usage_text(), stdout);
        return 0;
    case ArgsResult::Error:
        break;
    case ArgsResult::Ok:
        if (fits_descriptors(settings.config, worker_count(settings.config), hard_descriptor_limit(), error) &&
            (!tls_on(settings.config) || load_tls(settings.config, nullptr, settings.tls, error))) {
            std::puts("configuration ok");
            return 0;
        }
        break;
    }
    std::fprintf(stderr, "oramet-timed: %s\n", error.c_str());
    return 1;
}

int run_server(const std::vector<std::string> &args, std::shared_ptr<const Settings> settings) {
    std::string error;
    if (tls_on(settings->config)) {
        Settings with_tls = *settings;
        if (!load_tls(with_tls.config, nullptr, with_tls.tls, error)) {
            std::fprintf(stderr, "oramet-timed: %s\n", error.c_str());
            return 2;
        }
        settings = std::make_shared<const Settings>(std::move(with_tls));
    }
    const Config &cfg = settings->config;
    struct sockaddr_storage addr;
    socklen_t addr_len;
    if (!parse_listen_address(cfg.listen, addr, addr_len, error)) {
        std::fprintf(stderr, "oramet-timed: listen %s: %s\n", cfg.listen.c_str(), error.c_str());
        return 2;
    }
    struct sockaddr_storage tls_addr;
    socklen_t tls_addr_len = 0;
    if (tls_on(cfg) && !parse_listen_address(cfg.tls_listen, tls_addr, tls_addr_len, error, 443)) {
        std::fprintf(stderr, "oramet-timed: tls-listen %s: %s\n", cfg.tls_listen.c_str(), error.c_str());
        return 2;
    }

    unsigned nworkers = worker_count(cfg);
    if (!fits_descriptors(cfg, nworkers, raise_descriptor_limit(), error)) {
        std::fprintf(stderr, "oramet-timed: %s\n", error.c_str());
        return 2;
    }

    // SO_REUSEPORT would let us share the port with a stray copy of
    // ourselves; a plain bind first makes "address in use" an error.
    int probe = open_listener(addr, addr_len, false, 0, error);
    if (probe < 0) {
        std::fprintf(stderr, "oramet-timed: cannot listen on %s: %s\n", cfg.listen.c_str(), error.c_str());
        return 1;
    }
    close(probe);
    if (tls_on(cfg)) {
        probe = open_listener(tls_addr, tls_addr_len, false, 0, error);
        if (probe < 0) {
            std::fprintf(stderr, "oramet-timed: cannot listen on %s: %s\n", cfg.tls_listen.c_str(), error.c_str());
            return 1;
        }
        close(probe);
    }

    int metrics_fd = -1;
    if (!cfg.metrics_listen.empty()) {
        struct sockaddr_storage maddr;
        socklen_t maddr_len;
        if (!parse_listen_address(cfg.metrics_listen, maddr, maddr_len, error)) {
            std::fprintf(stderr, "oramet-timed: metrics-listen %s: %s\n", cfg.metrics_listen.c_str(), error.c_str());
            return 2;
        }
        metrics_fd = open_listener(maddr, maddr_len, false, 0, error);
        if (metrics_fd >= 0 && listen(metrics_fd, 16) != 0) {
            error = std::string("listen: ") + std::strerror(errno);
            close(metrics_fd);
            metrics_fd = -1;
        }
        if (metrics_fd < 0) {
            std::fprintf(stderr, "oramet-timed: cannot listen on %s for metrics: %s\n", cfg.metrics_listen.c_str(),
                         error.c_str());
            return 1;
        }
    }

    Notifier notifier;
    const std::uint64_t watchdog_usec = notifier.watchdog_usec();
    // The main loop's tick: once a second, or twice per watchdog interval
    // when that is shorter; the workers beat twice per tick.
    const std::uint64_t tick_us = watchdog_usec != 0 ? std::min<std::uint64_t>(1000000, watchdog_usec / 2) : 1000000;

    Shared shared(*settings);
    shared.settings = settings;
    shared.clock.check(cfg.require_synced_clock);
    // The loops always beat: /live asks, as the watchdog does when there is one.
    shared.beat_ms = static_cast<unsigned>(std::max<std::uint64_t>(tick_us / 2000, 1));
    shared.live_window_us = watchdog_usec != 0 ? watchdog_usec / 2 : kLiveWindowUs;
    if (!cfg.offence_store.empty()) {
        shared.store = std::make_unique<OffenceStore>(settings->store, cfg.offence_store, settings->store_password,
                                                      cfg.offence_store_prefix, cfg.abuse_limit);
        if (!shared.store->start()) {
            std::fprintf(stderr, "oramet-timed: cannot start the offence store's thread: %s\n", std::strerror(errno));
            return 1;
        }
        // Before the workers take a connection; a store that is slow to
        // answer only delays the start, and then the local table decides.
        if (!shared.store->wait_first_load(kFirstLoadMs))
            std::fprintf(stderr, "oramet-timed: offence store slow to answer; starting without its blocked set\n");
    }

    h2o_globalconf_t globalconf;
    h2o_config_init(&globalconf);
    globalconf.server_name = h2o_iovec_init(H2O_STRLIT("oramet-timed"));
    // Our read wrapper enforces max-request-bytes, which a reload may raise;
    // this only has H2O refuse larger bodies before reading them.
    globalconf.max_request_entity_size = 65536;
    globalconf.http1.req_timeout = cfg.read_timeout_ms;
    globalconf.handshake_timeout = cfg.read_timeout_ms;
    globalconf.http1.upgrade_to_http2 = 0;
    h2o_hostconf_t *host = h2o_config_register_host(&globalconf, h2o_iovec_init(H2O_STRLIT("default")), 65535);
    h2o_pathconf_t *path = h2o_config_register_path(host, "/", 0);
    h2o_handler_t *handler = h2o_create_handler(path, sizeof(h2o_handler_t));
    handler->on_req = on_request;

    // Signals are taken by this thread with sigtimedwait(); workers never see them.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<Worker>> workers;
    for (unsigned i = 0; i < nworkers; ++i) {
        auto w = std::make_unique<Worker>();
        w->shared = &shared;
        w->settings = settings;
        w->globalconf = &globalconf;
        w->listen_fd = open_listener(addr, addr_len, true, cfg.idle_timeout_ms, error);
        if (w->listen_fd < 0 || pipe2(w->wake_fd, O_NONBLOCK | O_CLOEXEC) != 0) {
            if (w->listen_fd >= 0) error = std::string("pipe: ") + std::strerror(errno);
            std::fprintf(stderr, "oramet-timed: cannot listen on %s: %s\n", cfg.listen.c_str(), error.c_str());
            if (metrics_fd >= 0) close(metrics_fd);
            return 1;
        }
        // The kernel holds no TLS connection back: the handshake is H2O's
        // to read from the first byte.
        if (tls_on(cfg) && (w->tls_listen_fd = open_listener(tls_addr, tls_addr_len, true, 0, error)) < 0) {
            std::fprintf(stderr, "oramet-timed: cannot listen on %s: %s\n", cfg.tls_listen.c_str(), error.c_str());
            if (metrics_fd >= 0) close(metrics_fd);
            return 1;
        }
        shared.workers.push_back(w.get());
        workers.push_back(std::move(w));
    }

    MetricsListener metrics;
    if (metrics_fd >= 0 && !metrics.start(metrics_fd, shared)) {
        std::fprintf(stderr, "oramet-timed: cannot serve metrics: %s\n", std::strerror(errno));
        return 1;
    }
    std::vector<std::thread> threads;
    for (auto &w : workers) threads.emplace_back(worker_main, w.get());
    {
        // Ready once every loop runs; a worker that never gets there is a fault
        // the manager should see as a failed start.
        std::unique_lock<std::mutex> lock(shared.running_mutex);
        shared.running_cv.wait_for(lock, std::chrono::seconds(30), [&] { return shared.running == nworkers; });
        if (shared.running != nworkers) std::fprintf(stderr, "oramet-timed: the workers did not start\n");
    }
    std::fprintf(stderr, "oramet-timed: listening on %s%s%s with %u worker%s%s%s\n", cfg.listen.c_str(),
                 tls_on(cfg) ? ", TLS on " : "", cfg.tls_listen.c_str(), nworkers, nworkers == 1 ? "" : "s",
                 metrics_fd >= 0 ? ", metrics on " : "", cfg.metrics_listen.c_str());
    if (shared.running == nworkers) {
        shared.ready.store(true, std::memory_order_relaxed);
        notifier.send("READY=1\n" + status_line(shared, 0));
    }

    // Wait for signals; meanwhile, once a tick, look at the clock's state and
    // tell the service manager how things go.
    using SteadyClock = std::chrono::steady_clock;
    auto next_check = SteadyClock::now() + std::chrono::microseconds(tick_us);
    auto next_clock = next_check;
    auto last_status = SteadyClock::now();
    std::uint64_t last_requests = 0;
    bool stuck_logged = false;
    int sig = 0;
    // Draining: /ready says 503 while the server still accepts and answers,
    // so that a load balancer's checks take it out before it stops.
    bool draining = false;
    SteadyClock::time_point drain_end;
    for (;;) {
        auto now = SteadyClock::now();
        if (draining && now >= drain_end) break;
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(next_check - now).count();
        if (left <= 0) {
            if (now >= next_clock) {
                shared.clock.check(shared.current()->config.require_synced_clock);
                next_clock = now + std::chrono::seconds(1);
            }
            next_check = now + std::chrono::microseconds(tick_us);
            if (!notifier.active()) continue;
            std::uint64_t requests = take_snapshot(shared).requests();
            double seconds = std::chrono::duration<double>(now - last_status).count();
            std::string message = status_line(shared, seconds > 0 ? (requests - last_requests) / seconds : 0);
            last_status = now;
            last_requests = requests;
            if (watchdog_usec != 0 && workers_alive(shared, watchdog_usec, stuck_logged))
                message = "WATCHDOG=1\n" + message;
            notifier.send(message);
            continue;
        }
        if (draining)
            left = std::min<long long>(left, std::chrono::duration_cast<std::chrono::nanoseconds>(drain_end - now).count());
        struct timespec wait = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        sig = sigtimedwait(&sigs, nullptr, &wait);
        if (sig == SIGTERM || sig == SIGINT) {
            if (draining) break;  // asked twice: stop now
            const unsigned drain_ms = shared.current()->config.drain_ms;
            shared.ready.store(false, std::memory_order_relaxed);
            notifier.send("STOPPING=1\n" + status_line(shared, 0));
            if (drain_ms == 0) break;
            std::fprintf(stderr, "oramet-timed: %s received, draining for %u ms\n",
                         sig == SIGINT ? "SIGINT" : "SIGTERM", drain_ms);
            draining = true;
            drain_end = SteadyClock::now() + std::chrono::milliseconds(drain_ms);
        }
        if (sig == SIGHUP && !draining) {
            notifier.send("RELOADING=1\n" + monotonic_usec_line());
            std::string reload_error;
            bool ok = reload(shared, args, nworkers, reload_error);
            notifier.send("READY=1\n" + (ok ? status_line(shared, 0) : "STATUS=settings not reloaded: " + reload_error));
        }
    }
    if (draining)
        std::fprintf(stderr, "oramet-timed: drained, shutting down\n");
    else
        std::fprintf(stderr, "oramet-timed: %s received, shutting down\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
    notifier.send("STATUS=shutting down");
    for (auto &w : workers) ask(w.get(), kStop);
    for (auto &t : threads) t.join();
    metrics.stop();
    if (shared.store) shared.store->stop();
    for (auto &w : workers) close(w->wake_fd[1]);
    h2o_config_dispose(&globalconf);
    std::fprintf(stderr, "oramet-timed: stopped\n");
    return 0;
}

}  // namespace oramet
