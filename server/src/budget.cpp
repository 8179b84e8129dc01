#include "budget.hpp"

namespace oramet {

ConnectionBudget::ConnectionBudget(unsigned total, unsigned per_address)
    : total_(total), per_address_(per_address) {}

bool ConnectionBudget::take_slot() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_ >= total_) {
        refused_ = true;
        return false;
    }
    ++open_;
    return true;
}

bool ConnectionBudget::give_slot(const AddrKey *address) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (address != nullptr) release_address(*address);
    if (open_ > 0) --open_;
    if (!refused_ || open_ >= total_) return false;
    refused_ = false;
    return true;
}

bool ConnectionBudget::take_address(const AddrKey &key) {
    std::lock_guard<std::mutex> lock(mutex_);
    unsigned &n = by_address_[key];
    if (per_address_ != 0 && n >= per_address_) return false;
    ++n;
    return true;
}

void ConnectionBudget::release_address(const AddrKey &key) {
    auto it = by_address_.find(key);
    if (it == by_address_.end()) return;
    if (--it->second == 0) by_address_.erase(it);
}

bool ConnectionBudget::set_limits(unsigned total, unsigned per_address) {
    std::lock_guard<std::mutex> lock(mutex_);
    total_ = total;
    per_address_ = per_address;
    if (!refused_ || open_ >= total_) return false;
    refused_ = false;
    return true;
}

unsigned ConnectionBudget::open() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

std::size_t ConnectionBudget::addresses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return by_address_.size();
}

std::uint64_t descriptors_needed(unsigned max_connections, unsigned workers) {
    return std::uint64_t{max_connections} + 4u * std::uint64_t{workers} + 32u;
}

}  // namespace oramet
