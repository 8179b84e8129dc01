// Counters for the operator: kept per worker, written only by that worker's
// thread, summed when scraped, and written out in Prometheus's text format.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace oramet {

// What a request was answered with.
enum class AnswerKind : unsigned {
    Time,
    Maintenance,   // "~" by the switch
    Unsynced,      // "~" for an unsynchronised clock
    Blocked,       // "^"
    Upgrade,       // "#"
    Banner,
    NotFound,      // 404
    Malformed,     // H2O's 400 for what it could not parse
    Count
};

// Which way the request was answered.
enum class AnswerPath : unsigned { Direct, H2O, Count };

// Why a connection was turned away or cut.
enum class Refusal : unsigned {
    AddressCap,     // its address holds its share of connections
    Blocked,        // its address is past the offence limit
    ServerFull,     // every slot was taken: accepting stopped, it waits in the queue
    IdleCut,        // sent nothing within idle-timeout-ms
    ReadTimeout,    // its request did not arrive within read-timeout-ms
    TooLarge,       // request head over max-request-bytes
    UnlistedProxy,  // a PROXY line from an address not listed
    Count
};

constexpr std::size_t kAnswerKinds = static_cast<std::size_t>(AnswerKind::Count);
constexpr std::size_t kAnswerPaths = static_cast<std::size_t>(AnswerPath::Count);
constexpr std::size_t kRefusals = static_cast<std::size_t>(Refusal::Count);

// Upper bounds, in microseconds, of the buckets of the time from accept to
// reply sent; a last bucket takes everything above.
constexpr std::array<std::uint64_t, 11> kLatencyBoundsUs = {50,   100,   250,   500,    1000,   2500,
                                                           5000, 10000, 25000, 100000, 1000000};
constexpr std::size_t kLatencyBuckets = kLatencyBoundsUs.size() + 1;

// A counter with one writer: a plain load and store, no locked instruction,
// yet readable from another thread without a torn value.
class Counter {
public:
    void add(std::uint64_t n = 1) { v_.store(v_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed); }
    std::uint64_t get() const { return v_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> v_{0};
};

// One worker's counters, on cache lines of their own.
struct alignas(64) WorkerCounters {
    std::array<std::array<Counter, kAnswerPaths>, kAnswerKinds> answers;
    Counter accepted;
    std::array<Counter, kRefusals> refused;
    std::array<Counter, kLatencyBuckets> latency;  // per bucket, not cumulative
    Counter latency_sum_us;
    Counter tls_handshakes;          // completed
    Counter tls_handshake_failures;  // begun (bytes came) but not completed

    void answered(AnswerKind kind, AnswerPath path) {
        answers[static_cast<std::size_t>(kind)][static_cast<std::size_t>(path)].add();
    }
    void refuse(Refusal why) { refused[static_cast<std::size_t>(why)].add(); }
    void replied_after(std::uint64_t us);
};

// Everything a scrape shows: the workers' counters summed, and the gauges.
struct MetricsSnapshot {
    std::array<std::array<std::uint64_t, kAnswerPaths>, kAnswerKinds> answers{};
    std::uint64_t accepted = 0;
    std::array<std::uint64_t, kRefusals> refused{};
    std::array<std::uint64_t, kLatencyBuckets> latency{};
    std::uint64_t latency_sum_us = 0;
    std::uint64_t tls_handshakes = 0;
    std::uint64_t tls_handshake_failures = 0;

    std::uint64_t open_connections = 0;
    std::uint64_t offence_entries = 0;
    std::uint64_t blocked_addresses = 0;
    std::uint64_t reloads_ok = 0;
    std::uint64_t reloads_failed = 0;
    bool clock_synced = false;
    // The fleet's offence store, shown only when one is configured.
    bool store_configured = false;
    bool store_up = false;
    std::uint64_t store_dropped = 0;
    std::uint64_t store_blocked = 0;

    void add(const WorkerCounters &w);
    std::uint64_t requests() const;  // every answer, of every kind and path
};

// The text exposition format, version 0.0.4.
std::string format_metrics(const MetricsSnapshot &s);

}  // namespace oramet
