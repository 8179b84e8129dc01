// Client addresses as table keys, and the numeric addresses of the config.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <sys/socket.h>

namespace oramet {

// Client addresses as table keys: IPv4 as IPv4-mapped IPv6, IPv6 cut to its
// /64 prefix (one subscriber usually owns a whole /64).
using AddrKey = std::array<std::uint8_t, 16>;
AddrKey make_addr_key(const struct sockaddr *sa);

struct AddrKeyHash {
    std::size_t operator()(const AddrKey &k) const noexcept;
};

// "10.0.0.1, [2001:db8::1]" or "10.0.0.1 2001:db8::1": numeric addresses
// separated by commas or blanks; brackets around IPv6 are optional.
bool parse_address_list(std::string_view text, std::vector<AddrKey> &out, std::string &error);

// Exact address key (no /64 cut), for matching listed proxies.
AddrKey make_exact_addr_key(const struct sockaddr *sa);

// "1.2.3.4:80", "1.2.3.4" (port 80), "[::1]:8080", "[::1]". Numeric only.
bool parse_listen_address(std::string_view text, struct sockaddr_storage &out, socklen_t &len,
                          std::string &error);

}  // namespace oramet
