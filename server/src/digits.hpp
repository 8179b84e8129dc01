// Decimal digits as the config, versions and addresses spell them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace oramet {

inline bool all_digits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

inline std::uint64_t to_u64(std::string_view digits) {
    std::uint64_t v = 0;
    for (char c : digits) v = v * 10 + static_cast<unsigned>(c - '0');
    return v;
}

template <typename T>
bool parse_uint(std::string_view value, T &out, T min, T max) {
    if (!all_digits(value) || value.size() > 12) return false;
    std::uint64_t v = to_u64(value);
    if (v < min || v > max) return false;
    out = static_cast<T>(v);
    return true;
}

}  // namespace oramet
