#include "store_client.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <poll.h>
#include <unistd.h>

#include "worker.hpp"

namespace oramet {
namespace {

// Offences go out this often, merged per address.
constexpr unsigned kFlushMs = 250;
// The blocked set is read whole this often besides, since pub/sub loses what
// is published while a replica is away.
constexpr unsigned kPollMs = 1000;
// Every connect and command is bounded: a store that hangs is a store down.
constexpr timeval kStoreTimeout = {1, 0};
// Offences of this many addresses wait at most between two sends.
constexpr std::size_t kQueueAddresses = 16384;
constexpr std::int64_t kWindowSeconds = 86400;

struct ReplyOwner {
    redisReply *r = nullptr;
    explicit ReplyOwner(void *p) : r(static_cast<redisReply *>(p)) {}
    ~ReplyOwner() {
        if (r != nullptr) freeReplyObject(r);
    }
    ReplyOwner(const ReplyOwner &) = delete;
    ReplyOwner &operator=(const ReplyOwner &) = delete;
};

// One command, its reply checked for being no error.
redisReply *command(redisContext *c, std::initializer_list<std::string> args, std::string &error) {
    std::vector<const char *> argv;
    std::vector<size_t> lens;
    for (const std::string &a : args) {
        argv.push_back(a.data());
        lens.push_back(a.size());
    }
    auto *r = static_cast<redisReply *>(redisCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lens.data()));
    if (r == nullptr) {
        error = c->errstr[0] != '\0' ? c->errstr : "connection lost";
        return nullptr;
    }
    if (r->type == REDIS_REPLY_ERROR) {
        error = std::string(r->str, r->len);
        freeReplyObject(r);
        return nullptr;
    }
    return r;
}

void append(redisContext *c, std::initializer_list<std::string> args) {
    std::vector<const char *> argv;
    std::vector<size_t> lens;
    for (const std::string &a : args) {
        argv.push_back(a.data());
        lens.push_back(a.size());
    }
    redisAppendCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lens.data());
}

redisContext *open_context(const StoreAddress &a, const std::string &password, std::string &error) {
    redisContext *c = redisConnectWithTimeout(a.host.c_str(), static_cast<int>(a.port), kStoreTimeout);
    if (c == nullptr || c->err != 0) {
        error = c != nullptr ? c->errstr : "out of memory";
        if (c != nullptr) redisFree(c);
        return nullptr;
    }
    redisSetTimeout(c, kStoreTimeout);
    redisEnableKeepAlive(c);
    if (!password.empty()) {
        redisReply *r = command(c, {"AUTH", password}, error);
        if (r == nullptr) {
            error = "AUTH: " + error;
            redisFree(c);
            return nullptr;
        }
        freeReplyObject(r);
    }
    return c;
}

}  // namespace

OffenceStore::OffenceStore(StoreAddress address, std::string url, std::string password, std::string prefix,
                           unsigned limit)
    : address_(std::move(address)),
      url_(std::move(url)),
      password_(std::move(password)),
      keys_(std::move(prefix)),
      limit_(limit),
      queue_(kQueueAddresses) {}

OffenceStore::~OffenceStore() { stop(); }

bool OffenceStore::start() {
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0) return false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void OffenceStore::stop() {
    if (thread_.joinable()) {
        char b = 1;
        ssize_t n = write(stop_pipe_[1], &b, 1);
        (void)n;  // an empty pipe always takes a byte
        thread_.join();
    }
    for (int &fd : stop_pipe_) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    disconnect();
}

bool OffenceStore::wait_first_load(unsigned ms) {
    std::unique_lock<std::mutex> lock(first_mutex_);
    return first_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return first_done_; });
}

void OffenceStore::first_attempt_done() {
    {
        std::lock_guard<std::mutex> lock(first_mutex_);
        if (first_done_) return;
        first_done_ = true;
    }
    first_cv_.notify_all();
}

// True when asked to stop within `ms`.
bool OffenceStore::wait_stop(unsigned ms) {
    pollfd p{stop_pipe_[0], POLLIN, 0};
    int r;
    while ((r = poll(&p, 1, static_cast<int>(ms))) < 0 && errno == EINTR) {
    }
    return r > 0;
}

bool OffenceStore::connect() {
    cmd_ = open_context(address_, password_, error_);
    if (cmd_ == nullptr) return false;
    sub_ = open_context(address_, password_, error_);
    if (sub_ == nullptr) return false;
    if (address_.db != 0) {
        redisReply *r = command(cmd_, {"SELECT", std::to_string(address_.db)}, error_);
        if (r == nullptr) return false;
        freeReplyObject(r);
    }
    // The subscription is not per database; its confirmation is the reply.
    redisReply *r = command(sub_, {"SUBSCRIBE", keys_.channel()}, error_);
    if (r == nullptr) return false;
    freeReplyObject(r);
    return read_messages();
}

void OffenceStore::disconnect() {
    for (redisContext **c : {&cmd_, &sub_}) {
        if (*c != nullptr) redisFree(*c);
        *c = nullptr;
    }
}

// The whole blocked set, the expired part dropped from the store first.
bool OffenceStore::load_blocked() {
    const std::string now = std::to_string(wall_seconds());
    redisReply *r = command(cmd_, {"ZREMRANGEBYSCORE", keys_.blocked(), "-inf", now}, error_);
    if (r == nullptr) return false;
    freeReplyObject(r);
    ReplyOwner all(command(cmd_, {"ZRANGEBYSCORE", keys_.blocked(), "(" + now, "+inf", "WITHSCORES"}, error_));
    if (all.r == nullptr) return false;
    if (all.r->type != REDIS_REPLY_ARRAY) {
        error_ = "ZRANGEBYSCORE: not an array";
        return false;
    }
    std::unordered_map<AddrKey, std::int64_t, AddrKeyHash> blocked;
    for (size_t i = 0; i + 1 < all.r->elements; i += 2) {
        const redisReply *member = all.r->element[i];
        const redisReply *score = all.r->element[i + 1];
        if (member->type != REDIS_REPLY_STRING || score->type != REDIS_REPLY_STRING) continue;
        auto key = parse_addr_key_text(std::string_view(member->str, member->len));
        if (key) blocked[*key] = std::strtoll(score->str, nullptr, 10);
    }
    copy_.replace(std::move(blocked));
    return true;
}

// Sends the queued offences: per address the window's key made to expire
// first (a replica dying between an INCR and an EXPIRE would leave a key
// that never does), then the count added. An address past the limit goes
// into the blocked set until its window ends, and the others hear of it.
bool OffenceStore::flush() {
    auto offences = queue_.take();
    if (offences.empty()) return true;
    for (const auto &[key, n] : offences) {
        const std::string k = keys_.count(key);
        append(cmd_, {"SET", k, "0", "EX", std::to_string(kWindowSeconds), "NX"});
        append(cmd_, {"INCRBY", k, std::to_string(n)});
        append(cmd_, {"TTL", k});
    }
    const unsigned limit = limit_.load(std::memory_order_relaxed);
    const std::int64_t now = wall_seconds();
    std::vector<std::pair<AddrKey, std::int64_t>> passed, newly;
    for (const auto &[key, n] : offences) {
        long long got[3] = {0, 0, 0};
        for (long long &g : got) {
            void *p = nullptr;
            if (redisGetReply(cmd_, &p) != REDIS_OK) {
                error_ = cmd_->errstr[0] != '\0' ? cmd_->errstr : "connection lost";
                return false;
            }
            ReplyOwner r(p);
            if (r.r->type == REDIS_REPLY_ERROR) {
                error_ = std::string(r.r->str, r.r->len);
                return false;
            }
            if (r.r->type == REDIS_REPLY_INTEGER) g = r.r->integer;
        }
        const long long count = got[1], ttl = got[2];
        if (limit == 0 || count <= static_cast<long long>(limit)) continue;
        const std::int64_t until = now + (ttl > 0 ? ttl : kWindowSeconds);
        passed.emplace_back(key, until);
        if (count - static_cast<long long>(n) <= static_cast<long long>(limit)) newly.emplace_back(key, until);
    }
    for (const auto &[key, until] : passed) {
        copy_.add(key, until);
        append(cmd_, {"ZADD", keys_.blocked(), std::to_string(until), addr_key_text(key)});
    }
    for (const auto &[key, until] : newly) append(cmd_, {"PUBLISH", keys_.channel(), block_message(key, until)});
    for (std::size_t i = 0; i < passed.size() + newly.size(); ++i) {
        void *p = nullptr;
        if (redisGetReply(cmd_, &p) != REDIS_OK) {
            error_ = cmd_->errstr[0] != '\0' ? cmd_->errstr : "connection lost";
            return false;
        }
        ReplyOwner r(p);
    }
    return true;
}

// Takes what the subscription has received: blocks other replicas added.
bool OffenceStore::read_messages() {
    for (;;) {
        void *p = nullptr;
        if (redisGetReplyFromReader(sub_, &p) != REDIS_OK) {
            error_ = sub_->errstr;
            return false;
        }
        if (p == nullptr) return true;
        ReplyOwner r(p);
        // ["message", channel, payload]
        if (r.r->type != REDIS_REPLY_ARRAY || r.r->elements != 3 || r.r->element[2]->type != REDIS_REPLY_STRING)
            continue;
        AddrKey key;
        std::int64_t until;
        if (parse_block_message(std::string_view(r.r->element[2]->str, r.r->element[2]->len), key, until))
            copy_.add(key, until);
    }
}

// Connected: takes the subscription's messages as they come, sends the
// offences and reads the blocked set on their schedules. Returns true when
// asked to stop, false when the store went away.
bool OffenceStore::serve() {
    using Clock = std::chrono::steady_clock;
    auto next_flush = Clock::now() + std::chrono::milliseconds(kFlushMs);
    auto next_poll = Clock::now() + std::chrono::milliseconds(kPollMs);
    for (;;) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(std::min(next_flush, next_poll) -
                                                                          Clock::now());
        pollfd p[2] = {{sub_->fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        int r = poll(p, 2, static_cast<int>(std::max<long long>(wait.count(), 0)));
        if (r < 0 && errno != EINTR) {
            error_ = std::strerror(errno);
            return false;
        }
        if (r > 0 && p[1].revents != 0) {
            flush();  // the last offences, if the store takes them at once
            return true;
        }
        if (r > 0 && p[0].revents != 0) {
            if (redisBufferRead(sub_) != REDIS_OK) {
                error_ = sub_->errstr[0] != '\0' ? sub_->errstr : "connection lost";
                return false;
            }
            if (!read_messages()) return false;
        }
        auto now = Clock::now();
        if (now >= next_flush) {
            if (!flush()) return false;
            next_flush = now + std::chrono::milliseconds(kFlushMs);
        }
        if (now >= next_poll) {
            if (!load_blocked()) return false;
            next_poll = now + std::chrono::milliseconds(kPollMs);
        }
    }
}

void OffenceStore::run() {
    unsigned failures = 0;
    bool logged_down = false;
    for (;;) {
        if (connect() && load_blocked()) {
            up_.store(true, std::memory_order_relaxed);
            first_attempt_done();
            std::fprintf(stderr, "oramet-timed: offence store %s %s, %zu blocked addresses\n", url_.c_str(),
                         logged_down ? "reachable again" : "connected", copy_.size());
            logged_down = false;
            failures = 0;
            bool stopped = serve();
            up_.store(false, std::memory_order_relaxed);
            if (stopped) return;
        }
        disconnect();
        first_attempt_done();
        // Logged once per outage; the local table decides meanwhile.
        if (!logged_down)
            std::fprintf(stderr,
                         "oramet-timed: offence store %s unreachable (%s); deciding on the local table, "
                         "reconnecting\n",
                         url_.c_str(), error_.c_str());
        logged_down = true;
        if (wait_stop(store_backoff_ms(failures++))) return;
    }
}

}  // namespace oramet
