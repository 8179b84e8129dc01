#include "offence_store.hpp"

#include <algorithm>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "digits.hpp"

namespace oramet {

bool parse_store_address(std::string_view text, StoreAddress &out, std::string &error) {
    constexpr std::string_view scheme = "redis://";
    if (text.substr(0, scheme.size()) != scheme) {
        error = "expected redis://HOST[:PORT][/DB]";
        return false;
    }
    text.remove_prefix(scheme.size());
    StoreAddress a;
    std::string_view rest;
    if (!text.empty() && text.front() == '[') {
        auto close = text.find(']');
        if (close == std::string_view::npos) {
            error = "missing ] after the IPv6 address";
            return false;
        }
        a.host = std::string(text.substr(1, close - 1));
        in6_addr in6;
        if (inet_pton(AF_INET6, a.host.c_str(), &in6) != 1) {
            error = "not an IPv6 address in brackets";
            return false;
        }
        rest = text.substr(close + 1);
    } else {
        auto end = text.find_first_of(":/");
        a.host = std::string(text.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : text.substr(end);
        bool name_chars = std::all_of(a.host.begin(), a.host.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
        });
        if (a.host.empty() || !name_chars) {
            error = "expected a host name or address after redis://";
            return false;
        }
    }
    if (!rest.empty() && rest.front() == ':') {
        auto end = rest.find('/');
        if (!parse_uint<unsigned>(rest.substr(1, end == std::string_view::npos ? end : end - 1), a.port, 1, 65535)) {
            error = "port: expected 1 to 65535";
            return false;
        }
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    }
    if (!rest.empty()) {
        if (rest.front() != '/') {
            error = "unexpected text after the host";
            return false;
        }
        // "/" alone is database 0.
        if (rest.size() > 1 && !parse_uint<unsigned>(rest.substr(1), a.db, 0, 65535)) {
            error = "database: expected a number";
            return false;
        }
    }
    out = std::move(a);
    return true;
}

namespace {
constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
}

std::string addr_key_text(const AddrKey &key) {
    char buf[INET6_ADDRSTRLEN];
    if (std::memcmp(key.data(), kMapped, sizeof kMapped) == 0) {
        inet_ntop(AF_INET, key.data() + 12, buf, sizeof buf);
        return buf;
    }
    inet_ntop(AF_INET6, key.data(), buf, sizeof buf);
    return std::string(buf) + "/64";
}

std::optional<AddrKey> parse_addr_key_text(std::string_view text) {
    AddrKey k{};
    if (text.size() > 3 && text.substr(text.size() - 3) == "/64") {
        std::string a(text.substr(0, text.size() - 3));
        if (inet_pton(AF_INET6, a.c_str(), k.data()) != 1) return std::nullopt;
        // Only what make_addr_key makes: a /64 prefix, never a mapped IPv4.
        if (std::memcmp(k.data(), kMapped, sizeof kMapped) == 0) return std::nullopt;
        if (std::any_of(k.begin() + 8, k.end(), [](std::uint8_t b) { return b != 0; })) return std::nullopt;
        return k;
    }
    std::string a(text);
    std::memcpy(k.data(), kMapped, sizeof kMapped);
    if (inet_pton(AF_INET, a.c_str(), k.data() + 12) != 1) return std::nullopt;
    return k;
}

std::string block_message(const AddrKey &key, std::int64_t until) {
    return addr_key_text(key) + " " + std::to_string(until);
}

bool parse_block_message(std::string_view text, AddrKey &key, std::int64_t &until) {
    auto sp = text.find(' ');
    if (sp == std::string_view::npos) return false;
    auto k = parse_addr_key_text(text.substr(0, sp));
    std::string_view digits = text.substr(sp + 1);
    if (!k || !all_digits(digits) || digits.size() > 18) return false;
    key = *k;
    until = static_cast<std::int64_t>(to_u64(digits));
    return true;
}

bool OffenceQueue::push(const AddrKey &key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counts_.find(key);
    if (it == counts_.end()) {
        if (counts_.size() >= capacity_) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        it = counts_.emplace(key, 0).first;
    }
    if (it->second < UINT32_MAX) ++it->second;
    return true;
}

std::vector<std::pair<AddrKey, unsigned>> OffenceQueue::take() {
    std::unordered_map<AddrKey, unsigned, AddrKeyHash> taken;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        taken.swap(counts_);
    }
    return {taken.begin(), taken.end()};
}

bool BlockedCopy::blocked(const AddrKey &key, std::int64_t now) const {
    if (size_.load(std::memory_order_relaxed) == 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = until_.find(key);
    return it != until_.end() && it->second > now;
}

void BlockedCopy::add(const AddrKey &key, std::int64_t until) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto &end = until_[key];
    end = std::max(end, until);
    size_.store(until_.size(), std::memory_order_relaxed);
}

void BlockedCopy::replace(std::unordered_map<AddrKey, std::int64_t, AddrKeyHash> all) {
    std::lock_guard<std::mutex> lock(mutex_);
    until_.swap(all);
    size_.store(until_.size(), std::memory_order_relaxed);
}

unsigned store_backoff_ms(unsigned failures) {
    return 250u << std::min(failures, 4u);
}

}  // namespace oramet
