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

// "1.2.3.4:80", "1.2.3.4" (port 80, or `default_port`), "[::1]:8080", "[::1]".
// Numeric only.
bool parse_listen_address(std::string_view text, struct sockaddr_storage &out, socklen_t &len,
                          std::string &error, std::uint16_t default_port = 80);

// A PROXY protocol v1 line at the start of `in` ("PROXY TCP4 client server
// cport sport\r\n"): returns its length with the client in `out` (`len` 0
// for "PROXY UNKNOWN"), 0 while the line is incomplete, -1 when it is not one.
int parse_proxy_line(std::string_view in, struct sockaddr_storage &out, socklen_t &len);

}  // namespace oramet
