// The connection budget: open connections of the whole server and per address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "address.hpp"

namespace oramet {

// Open connections of the whole server, shared by all workers, and per
// client address (IPv6 by /64, as the offence table counts them).
// Thread-safe.
class ConnectionBudget {
public:
    ConnectionBudget(unsigned total, unsigned per_address);

    // Takes one of the server's slots; false when all are in use.
    bool take_slot();
    // Gives a slot back, and the connection's count against `address` when
    // given. True when a take_slot() failed since the last such report and
    // there is room again: listeners that stopped may resume.
    bool give_slot(const AddrKey *address = nullptr);
    // Counts a connection against its address; false when the address
    // already holds its share (0 = no per-address cap).
    bool take_address(const AddrKey &key);
    // New limits from a reload. Connections already open stay open; same
    // result as give_slot().
    bool set_limits(unsigned total, unsigned per_address);

    unsigned open() const;
    std::size_t addresses() const;

private:
    void release_address(const AddrKey &key);  // with the lock held

    mutable std::mutex mutex_;
    unsigned total_;
    unsigned per_address_;
    unsigned open_ = 0;
    bool refused_ = false;  // a take_slot() failed and nobody was told of room since
    std::unordered_map<AddrKey, unsigned, AddrKeyHash> by_address_;
};

// Descriptors the server needs with `max_connections` open: one per
// connection, plus its own (standard streams, per worker a listener, an
// event loop and a wake-up pipe, and some to spare).
std::uint64_t descriptors_needed(unsigned max_connections, unsigned workers);

}  // namespace oramet
