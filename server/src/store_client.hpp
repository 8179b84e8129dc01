// The store thread: one thread with two blocking hiredis contexts, one for
// commands and one for the subscription (hiredis 0.14 has no adapter for
// H2O's loop, its contexts are not thread-safe, and a subscribed context
// sends no commands). Workers only touch the queue and the local copy.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <string>
#include <thread>

#include "offence_store.hpp"

struct redisContext;

namespace oramet {

class OffenceStore {
public:
    OffenceStore(StoreAddress address, std::string url, std::string password, std::string prefix, unsigned limit);
    ~OffenceStore();
    OffenceStore(const OffenceStore &) = delete;
    OffenceStore &operator=(const OffenceStore &) = delete;

    bool start();
    void stop();
    // Waits up to `ms` for the first attempt to connect and load the blocked
    // set, so that a replica started while an address is blocked turns it
    // away from its first connection on; false if it took longer.
    bool wait_first_load(unsigned ms);

    // Called by the workers; never waits on the network.
    void offend(const AddrKey &key) { queue_.push(key); }
    bool blocked(const AddrKey &key, std::int64_t now) const { return copy_.blocked(key, now); }
    void set_limit(unsigned limit) { limit_.store(limit, std::memory_order_relaxed); }

    bool up() const { return up_.load(std::memory_order_relaxed); }
    std::uint64_t dropped() const { return queue_.dropped(); }
    std::size_t blocked_count() const { return copy_.size(); }

private:
    void run();
    bool serve();
    bool connect();
    void disconnect();
    bool load_blocked();
    bool flush();
    bool read_messages();
    bool wait_stop(unsigned ms);

    StoreAddress address_;
    std::string url_;  // for the log
    std::string password_;
    StoreKeys keys_;
    std::atomic<unsigned> limit_;
    OffenceQueue queue_;
    BlockedCopy copy_;
    std::atomic<bool> up_{false};
    std::mutex first_mutex_;
    std::condition_variable first_cv_;
    bool first_done_ = false;
    void first_attempt_done();
    redisContext *cmd_ = nullptr;
    redisContext *sub_ = nullptr;
    std::string error_;  // why the last attempt failed
    int stop_pipe_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace oramet
