// The event-loop side of oramet-timed, shared by its files: the server's
// shared state, a worker and its connections, and the calls between them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <h2o.h>

#include "clock_watch.hpp"
#include "logic.hpp"
#include "metrics.hpp"
#include "store_client.hpp"

namespace oramet {

struct Worker;

// State of the whole server, shared by the workers and the main thread.
struct Shared {
    Shared(const Settings &s)
        : abuse(s.config.abuse_table_size, s.config.abuse_limit),
          budget(s.config.max_connections, s.config.max_connections_per_address) {}

    std::shared_ptr<const Settings> current() {
        std::lock_guard<std::mutex> lock(settings_mutex);
        return settings;
    }

    std::mutex settings_mutex;
    std::shared_ptr<const Settings> settings;  // the latest; workers take a copy when told
    AbuseTable abuse;
    ConnectionBudget budget;
    ClockWatch clock;
    std::atomic<bool> short_of_descriptors{false};  // logged, not yet over
    std::unique_ptr<OffenceStore> store;  // the fleet's table, when one is configured
    // /ready: the listeners are up and the server is not draining.
    std::atomic<bool> ready{false};
    // /live: every worker's loop has beaten within this.
    std::uint64_t live_window_us = 0;
    std::vector<Worker *> workers;
    std::atomic<std::uint64_t> reloads_ok{0}, reloads_failed{0};
    // Workers whose loops run; the service manager hears of readiness once
    // all do.
    std::mutex running_mutex;
    std::condition_variable running_cv;
    unsigned running = 0;
    // How often each worker's loop shows it is alive, for the watchdog; 0: never.
    unsigned beat_ms = 0;
    // Settings published by the main thread, counted; each worker says which
    // it has taken up, so a reload is done only once all have (both under
    // running_mutex).
    std::uint64_t generation = 0;
};

// What the main thread or another worker asks a worker to do; set as bits,
// then one byte through the worker's pipe wakes its loop.
enum : unsigned { kStop = 1, kReload = 2, kResume = 4 };

// Our bookkeeping for one accepted connection, kept beside H2O's own.
struct Conn {
    Worker *worker = nullptr;
    h2o_socket_t *sock = nullptr;
    AddrKey peer{};
    h2o_socket_cb h2o_read = nullptr;  // H2O's read callback, which we wrap
    bool via_proxy = false;       // from a listed proxy: starts with a PROXY line
    bool awaiting_proxy = false;  // ... which H2O has not read yet
    bool address_taken = false;   // counted against `peer` in the budget
    bool refused = false;         // over its address's cap or blocked: no reply
    bool got_bytes = false;
    bool handled = false;  // a complete request reached our handler
    bool offence_recorded = false;
    bool in_callback = false;  // H2O is working on it below one of our frames
    bool closed = false;
    bool refusal_counted = false;  // cut for a reason the metrics already hold
    bool malformed_counted = false;  // H2O answered it 400 by itself
    bool tls = false;        // came to the TLS listener
    bool tls_begun = false;  // ... and sent the first bytes of its handshake
    bool tls_done = false;   // ... which completed: HTTP/1 has it
    h2o_timeout_entry_t tls_entry{};  // the handshake's time-out
    std::uint64_t accepted_us = 0;  // monotonic
    std::uint64_t opened_ms = 0;    // the loop's clock when H2O got it, as its time-outs count
    h2o_timeout_entry_t idle_entry{};
    h2o_linklist_t link{};
};

struct Worker {
    Shared *shared = nullptr;
    std::shared_ptr<const Settings> settings;  // this thread's view
    h2o_globalconf_t *globalconf = nullptr;
    int listen_fd = -1;
    int wake_fd[2] = {-1, -1};
    std::atomic<unsigned> asked{0};

    h2o_evloop_t *loop = nullptr;
    h2o_context_t ctx{};
    h2o_accept_ctx_t accept_ctx{};
    h2o_accept_ctx_t proxy_accept_ctx{};  // reads a PROXY line first
    h2o_socket_cb http1_reader = nullptr;
    h2o_socket_t *listener = nullptr;
    int tls_listen_fd = -1;  // -1: no TLS
    h2o_socket_t *tls_listener = nullptr;
    h2o_socket_t *waker = nullptr;
    h2o_timeout_t idle_timeout{};
    h2o_timeout_t held_idle_timeout{};  // what is left of it after the kernel held a connection
    bool deferring = false;             // the kernel holds silent connections (TCP_DEFER_ACCEPT)
    h2o_timeout_t grace_timeout{};
    h2o_timeout_t retry_timeout{};
    h2o_timeout_entry_t grace_entry{};
    h2o_timeout_entry_t retry_entry{};
    h2o_linklist_t conns{};
    unsigned nconns = 0;
    std::time_t date_second = -1;  // the Date header of replies sent directly
    char date[32] = {};
    std::size_t date_len = 0;
    bool accepting = false;
    bool stopping = false;
    bool done = false;
    h2o_timeout_t beat_timeout{};
    h2o_timeout_entry_t beat_entry{};

    // Written by this worker's thread alone, read by the scrape and the
    // watchdog: on cache lines of their own.
    WorkerCounters counters;
    alignas(64) std::atomic<std::int64_t> beat_us{0};  // monotonic time of the loop's last beat
    std::uint64_t generation = 0;  // of the settings in use; under shared->running_mutex
};

// Descriptors ran out: accepting pauses this long, then tries again.
constexpr unsigned kAcceptRetryMs = 1000;
// With an idle cut at least this long, the kernel holds a new connection
// until its first bytes arrive, for up to this long (TCP_DEFER_ACCEPT, in
// whole seconds): the server only sees connections with a request to read,
// and one still silent after it is accepted with this much of its idle
// time used.
constexpr unsigned kDeferAcceptMs = 1000;

// The worker of this thread, and the connection whose bytes H2O is
// processing right now on it; lets the handler find our bookkeeping
// without reaching into H2O.
inline thread_local Worker *t_worker = nullptr;
inline thread_local Conn *t_current = nullptr;

// worker.cpp
std::int64_t wall_seconds();
// Past the offence limit here or, with a store, anywhere in the fleet.
bool address_blocked(Shared &shared, const AddrKey &key);
// An offence, counted here and sent to the store.
void count_address_offence(Shared &shared, const AddrKey &key);
// Every worker's loop has beaten within `window_us`.
bool workers_beating(const Shared &shared, std::uint64_t window_us);
std::uint64_t monotonic_us();
void ask(Worker *w, unsigned what);
// Has the kernel hold silent connections on the listener when the idle cut
// allows it; true when it does.
bool defer_accept(int listen_fd, unsigned idle_timeout_ms);
void apply_timeouts(Worker *w);
void worker_main(Worker *w);

// accept.cpp
void start_accepting(Worker *w);
void stop_accepting(Worker *w);
void give_slot(Worker *w, const AddrKey *address = nullptr);
bool admit_proxied(Conn *c);
void on_retry_accept(h2o_timeout_entry_t *entry);
void on_accept(h2o_socket_t *listener, const char *err);
// Hands bytes read outside H2O to it, as if its own read had brought them.
void feed(h2o_socket_t *sock, const char *bytes, size_t len);

// connection.cpp
void record_offence(Conn *c);
void on_conn_close(void *data);
void on_conn_read(h2o_socket_t *sock, const char *err);
void on_idle_timeout(h2o_timeout_entry_t *entry);
void abort_conn(Conn *c, const char *why);
void refuse_conn(Conn *c, Refusal why, const char *message);

// answer.cpp
struct Reply {
    int status = 200;
    const char *reason = "OK";
    std::string_view body;
    bool no_store = false;  // answers that are only true at this moment
};


// What a request gets, whichever way it came in.
struct Answer {
    Reply reply;
    AnswerKind kind = AnswerKind::Time;
    bool time = false;    // the reply is the current time, stamped when sent
    std::string storage;  // owns the body when it is made for this request
};

// The client whose request is answered: its connection when H2O has one,
// else only its address (answered directly); neither for H2O's own probe.
struct Client {
    Conn *conn = nullptr;
    const AddrKey *peer = nullptr;
};

Answer answer_for(Worker *w, std::string_view method, std::string_view target, const Client &client);

// metrics_listener.cpp
MetricsSnapshot take_snapshot(Shared &shared);

// h2o_handlers.cpp
int on_request(h2o_handler_t *, h2o_req_t *req);

// direct_path.cpp
bool answer_directly(Worker *w, int fd, const AddrKey &peer, std::string_view raw, std::uint64_t accepted_us);

}  // namespace oramet
