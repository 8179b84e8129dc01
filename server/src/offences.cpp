#include "offences.hpp"

#include <algorithm>
#include <iterator>

namespace oramet {

AbuseTable::AbuseTable(std::size_t capacity, unsigned limit)
    : capacity_(std::max<std::size_t>(capacity, 1)), limit_(limit) {
    index_.reserve(std::min<std::size_t>(capacity_, 4096));
}

unsigned AbuseTable::sum_within(const Entry &e, std::int64_t hour) {
    // Buckets cover hours (hour-24, hour]; a bucket for hour h is valid while
    // h > hour - 24 and h <= e.last_hour.
    unsigned total = 0;
    for (std::int64_t h = std::max(e.last_hour - kHours + 1, hour - kHours + 1); h <= e.last_hour; ++h)
        total += e.per_hour[static_cast<std::size_t>(((h % kHours) + kHours) % kHours)];
    return total;
}

bool AbuseTable::over_limit(const Entry &e, std::int64_t hour) const {
    return limit_ != 0 && sum_within(e, std::max(hour, e.last_hour)) > limit_;
}

// Frees one place: blocked addresses whose offences have aged out since
// become ordinary again (checked from the least recent offender on), then
// the least recent ordinary address goes. False when all are blocked.
bool AbuseTable::make_room(std::int64_t hour) {
    while (!blocked_.empty() && !over_limit(blocked_.back(), hour)) {
        blocked_.back().blocked = false;
        open_.splice(open_.end(), blocked_, std::prev(blocked_.end()));
    }
    nblocked_.store(blocked_.size(), std::memory_order_relaxed);
    if (open_.empty()) return false;
    index_.erase(open_.back().key);
    open_.pop_back();
    return true;
}

unsigned AbuseTable::record(const AddrKey &key, std::int64_t now) {
    const std::int64_t hour = now / 3600;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(key);
    if (it == index_.end()) {
        if (index_.size() >= capacity_ && !make_room(hour)) return 1;  // full of blocked addresses
        open_.push_front(Entry{key, hour, {}, false});
        it = index_.emplace(key, open_.begin()).first;
    }
    Entry &e = *it->second;
    if (hour > e.last_hour) {
        // Clear the buckets of the hours that passed since the last offence.
        for (std::int64_t h = e.last_hour + 1; h <= hour && h <= e.last_hour + kHours; ++h)
            e.per_hour[static_cast<std::size_t>(((h % kHours) + kHours) % kHours)] = 0;
        e.last_hour = hour;
    }
    // An offence stamped before the last one (clock stepped back) still
    // counts towards the newest hour.
    auto &bucket = e.per_hour[static_cast<std::size_t>(((e.last_hour % kHours) + kHours) % kHours)];
    if (bucket < UINT16_MAX) ++bucket;
    // Most recent offender first, in the list that matches its state.
    std::list<Entry> &from = e.blocked ? blocked_ : open_;
    e.blocked = over_limit(e, hour);
    std::list<Entry> &to = e.blocked ? blocked_ : open_;
    to.splice(to.begin(), from, it->second);
    nblocked_.store(blocked_.size(), std::memory_order_relaxed);
    return sum_within(e, std::max(hour, e.last_hour));
}

unsigned AbuseTable::count(const AddrKey &key, std::int64_t now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(key);
    if (it == index_.end()) return 0;
    return sum_within(*it->second, std::max(now / 3600, it->second->last_hour));
}

bool AbuseTable::blocked(const AddrKey &key, std::int64_t now) const {
    // Asked for every connection; nearly always nobody is blocked.
    if (nblocked_.load(std::memory_order_relaxed) == 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (limit_ == 0) return false;
    auto it = index_.find(key);
    return it != index_.end() && over_limit(*it->second, now / 3600);
}

void AbuseTable::set_limits(std::size_t capacity, unsigned limit, std::int64_t now) {
    const std::int64_t hour = now / 3600;
    std::lock_guard<std::mutex> lock(mutex_);
    capacity_ = std::max<std::size_t>(capacity, 1);
    limit_ = limit;
    // Sort the entries into the lists the new limit calls for.
    for (auto *list : {&open_, &blocked_}) {
        for (auto it = list->begin(); it != list->end();) {
            auto next = std::next(it);
            bool b = over_limit(*it, hour);
            if (b != it->blocked) {
                it->blocked = b;
                std::list<Entry> &to = b ? blocked_ : open_;
                to.splice(to.end(), *list, it);
            }
            it = next;
        }
    }
    while (index_.size() > capacity_ && !make_room(hour)) {
        index_.erase(blocked_.back().key);
        blocked_.pop_back();
    }
    nblocked_.store(blocked_.size(), std::memory_order_relaxed);
}

std::size_t AbuseTable::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index_.size();
}

std::size_t AbuseTable::capacity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return capacity_;
}

unsigned AbuseTable::limit() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return limit_;
}

}  // namespace oramet
