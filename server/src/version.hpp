// Client versions ("2.07") and the query they come in.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace oramet {

// A client version such as "2.07": a non-negative decimal number. Versions
// compare by value, so 2.07 < 2.1 == 2.10 < 2.5 < 10.0.
struct Version {
    std::uint64_t whole = 0;
    std::uint64_t fraction = 0;  // fractional digits scaled to 9 places
    friend bool operator<(const Version &a, const Version &b) {
        return a.whole != b.whole ? a.whole < b.whole : a.fraction < b.fraction;
    }
    friend bool operator==(const Version &a, const Version &b) {
        return a.whole == b.whole && a.fraction == b.fraction;
    }
};

// Accepts 1 to 9 digits, optionally followed by '.' and 1 to 9 digits.
std::optional<Version> parse_version(std::string_view text);

// Value of the first `key=value` pair of an URL query ("a=1&v=2.07"), or
// nothing when the key is absent. No percent-decoding: the client never
// encodes anything.
std::optional<std::string_view> query_param(std::string_view query, std::string_view key);

}  // namespace oramet
