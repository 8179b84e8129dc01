// The fleet's shared offence table, kept in Redis or Valkey: what the store
// thread and the workers share, and the pure parts (the store's address,
// its key names, the queue of offences waiting to be sent, the local copy
// of the blocked set).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "address.hpp"

namespace oramet {

// "redis://HOST[:PORT][/DB]": a numeric address or a host name, IPv6 in
// brackets; port 6379 and database 0 when left out.
struct StoreAddress {
    std::string host;
    unsigned port = 6379;
    unsigned db = 0;
};
bool parse_store_address(std::string_view text, StoreAddress &out, std::string &error);

// A client's address key as the store spells it: "192.0.2.7" for IPv4,
// "2001:db8:1:2::/64" for an IPv6 prefix. Readable in redis-cli, and the
// same on every replica.
std::string addr_key_text(const AddrKey &key);
std::optional<AddrKey> parse_addr_key_text(std::string_view text);

// The store's names under the configured prefix.
struct StoreKeys {
    explicit StoreKeys(std::string prefix) : prefix_(std::move(prefix)) {}
    std::string count(const AddrKey &key) const { return prefix_ + "offences:" + addr_key_text(key); }
    std::string blocked() const { return prefix_ + "blocked"; }  // sorted set, scored by block end
    std::string channel() const { return prefix_ + "blocked"; }  // a block just added

private:
    std::string prefix_;
};

// The published message: "ADDRESS END" (END in Unix seconds).
std::string block_message(const AddrKey &key, std::int64_t until);
bool parse_block_message(std::string_view text, AddrKey &key, std::int64_t &until);

// Offences waiting for the store thread, merged per address so that a flood
// from one address costs one entry. Holds at most `capacity` addresses; an
// offence of a new address beyond that is dropped and counted. Thread-safe.
class OffenceQueue {
public:
    explicit OffenceQueue(std::size_t capacity) : capacity_(capacity) {}
    bool push(const AddrKey &key);  // false: dropped
    // Everything queued, emptying the queue.
    std::vector<std::pair<AddrKey, unsigned>> take();
    std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    std::size_t capacity_;
    std::mutex mutex_;
    std::unordered_map<AddrKey, unsigned, AddrKeyHash> counts_;
    std::atomic<std::uint64_t> dropped_{0};
};

// The replica's copy of the fleet's blocked set: address to block end.
// Asked at every accept; nearly always empty, which costs no lock.
class BlockedCopy {
public:
    bool blocked(const AddrKey &key, std::int64_t now) const;
    void add(const AddrKey &key, std::int64_t until);
    // The store's whole set, replacing what was known (and what expired).
    void replace(std::unordered_map<AddrKey, std::int64_t, AddrKeyHash> all);
    std::size_t size() const { return size_.load(std::memory_order_relaxed); }

private:
    mutable std::mutex mutex_;
    std::unordered_map<AddrKey, std::int64_t, AddrKeyHash> until_;
    std::atomic<std::size_t> size_{0};
};

// How long the store thread waits before its next attempt to connect: from
// a quarter of a second, doubling, at most 4 s.
unsigned store_backoff_ms(unsigned failures);

}  // namespace oramet
