#include "version.hpp"

#include "digits.hpp"

namespace oramet {

std::optional<Version> parse_version(std::string_view text) {
    std::string_view whole = text, frac;
    if (auto dot = text.find('.'); dot != std::string_view::npos) {
        whole = text.substr(0, dot);
        frac = text.substr(dot + 1);
        if (!all_digits(frac) || frac.size() > 9) return std::nullopt;
    }
    if (!all_digits(whole) || whole.size() > 9) return std::nullopt;
    Version v;
    v.whole = to_u64(whole);
    v.fraction = to_u64(frac);
    for (std::size_t i = frac.size(); i < 9; ++i) v.fraction *= 10;
    return v;
}

std::optional<std::string_view> query_param(std::string_view query, std::string_view key) {
    while (!query.empty()) {
        auto amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        auto eq = pair.find('=');
        if (pair.substr(0, eq) == key)
            return eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

}  // namespace oramet
