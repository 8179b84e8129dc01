// The offence table: offences per client address over the last 24 hours.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>

#include "address.hpp"

namespace oramet {

// Counts offences (malformed or abusive requests) per client address over
// the last 24 hours in one-hour steps. Holds at most `capacity` addresses;
// when full, the address that offended least recently among those not
// blocked is forgotten. Blocked addresses stay until enough of their
// offences have aged out; while every remembered address is blocked, a new
// offender is not remembered. Thread-safe.
class AbuseTable {
public:
    AbuseTable(std::size_t capacity, unsigned limit);

    // Records one offence at `now` (Unix seconds); returns the new count.
    unsigned record(const AddrKey &key, std::int64_t now);
    // Offences of `key` within the 24 hours before `now`.
    unsigned count(const AddrKey &key, std::int64_t now) const;
    // True once the count has passed the limit (never when the limit is 0).
    bool blocked(const AddrKey &key, std::int64_t now) const;
    // New limits from a reload; keeps what the table knows. A smaller
    // capacity forgets addresses as eviction would, blocked ones last.
    void set_limits(std::size_t capacity, unsigned limit, std::int64_t now);

    std::size_t size() const;
    std::size_t blocked_count() const { return nblocked_.load(std::memory_order_relaxed); }
    std::size_t capacity() const;
    unsigned limit() const;

private:
    static constexpr int kHours = 24;
    struct Entry {
        AddrKey key;
        std::int64_t last_hour = 0;
        std::array<std::uint16_t, kHours> per_hour{};
        bool blocked = false;  // which list holds it
    };
    static unsigned sum_within(const Entry &e, std::int64_t hour);
    bool over_limit(const Entry &e, std::int64_t hour) const;
    bool make_room(std::int64_t hour);

    std::size_t capacity_;
    unsigned limit_;
    mutable std::mutex mutex_;
    std::atomic<std::size_t> nblocked_{0};  // blocked_.size(), readable without the lock
    std::list<Entry> open_;     // not blocked, most recent offender first
    std::list<Entry> blocked_;  // blocked, most recent offender first
    std::unordered_map<AddrKey, std::list<Entry>::iterator, AddrKeyHash> index_;
};

}  // namespace oramet
