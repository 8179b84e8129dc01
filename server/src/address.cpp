#include "address.hpp"

#include <algorithm>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "digits.hpp"

namespace oramet {

AddrKey make_addr_key(const struct sockaddr *sa) {
    AddrKey k{};
    if (sa->sa_family == AF_INET) {
        auto *in = reinterpret_cast<const sockaddr_in *>(sa);
        k[10] = k[11] = 0xff;
        std::memcpy(&k[12], &in->sin_addr, 4);
    } else if (sa->sa_family == AF_INET6) {
        auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        std::memcpy(k.data(), &in6->sin6_addr, 16);
        static const std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(k.data(), mapped, 12) != 0) std::fill(k.begin() + 8, k.end(), 0);
    }
    return k;
}

std::size_t AddrKeyHash::operator()(const AddrKey &k) const noexcept {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (auto b : k) h = (h ^ b) * 1099511628211ull;
    return static_cast<std::size_t>(h);
}

AddrKey make_exact_addr_key(const struct sockaddr *sa) {
    AddrKey k{};
    if (sa->sa_family == AF_INET) {
        k[10] = k[11] = 0xff;
        std::memcpy(&k[12], &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, 4);
    } else if (sa->sa_family == AF_INET6) {
        std::memcpy(k.data(), &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, 16);
    }
    return k;
}

bool parse_address_list(std::string_view text, std::vector<AddrKey> &out, std::string &error) {
    std::vector<AddrKey> list;
    while (!text.empty()) {
        auto end = text.find_first_of(", \t");
        std::string item(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (item.empty()) continue;
        if (item.size() > 2 && item.front() == '[' && item.back() == ']') item = item.substr(1, item.size() - 2);
        sockaddr_in in4{};
        sockaddr_in6 in6{};
        if (inet_pton(AF_INET, item.c_str(), &in4.sin_addr) == 1) {
            in4.sin_family = AF_INET;
            list.push_back(make_exact_addr_key(reinterpret_cast<sockaddr *>(&in4)));
        } else if (inet_pton(AF_INET6, item.c_str(), &in6.sin6_addr) == 1) {
            in6.sin6_family = AF_INET6;
            list.push_back(make_exact_addr_key(reinterpret_cast<sockaddr *>(&in6)));
        } else {
            error = "\"" + item + "\" is not a numeric IPv4 or IPv6 address";
            return false;
        }
    }
    out = std::move(list);
    return true;
}

bool parse_listen_address(std::string_view text, struct sockaddr_storage &out, socklen_t &len,
                          std::string &error, std::uint16_t default_port) {
    std::string host;
    const std::string default_text = std::to_string(default_port);
    std::string_view port = default_text;
    if (!text.empty() && text.front() == '[') {
        auto close = text.find(']');
        if (close == std::string_view::npos) {
            error = "missing ']' in IPv6 address";
            return false;
        }
        host = std::string(text.substr(1, close - 1));
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                error = "expected ':' after ']'";
                return false;
            }
            port = rest.substr(1);
        }
    } else {
        auto colon = text.find(':');
        if (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos) {
            error = "write IPv6 addresses in brackets, e.g. [::1]:80";
            return false;
        }
        host = std::string(text.substr(0, colon));
        if (colon != std::string_view::npos) port = text.substr(colon + 1);
    }
    unsigned port_no = 0;
    if (!parse_uint<unsigned>(port, port_no, 1, 65535)) {
        error = "port must be 1 to 65535";
        return false;
    }
    std::memset(&out, 0, sizeof(out));
    auto *in4 = reinterpret_cast<sockaddr_in *>(&out);
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&out);
    if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(static_cast<std::uint16_t>(port_no));
        len = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<std::uint16_t>(port_no));
        len = sizeof(sockaddr_in6);
    } else {
        error = "\"" + host + "\" is not a numeric IPv4 or IPv6 address";
        return false;
    }
    return true;
}

int parse_proxy_line(std::string_view in, struct sockaddr_storage &out, socklen_t &len) {
    constexpr std::size_t kMaxLine = 107;  // the protocol's own bound, CRLF included
    constexpr std::string_view kPrefix = "PROXY ";
    if (in.substr(0, kPrefix.size()) != kPrefix.substr(0, std::min(in.size(), kPrefix.size()))) return -1;
    auto end = in.substr(0, kMaxLine).find("\r\n");
    if (end == std::string_view::npos) return in.size() < kMaxLine ? 0 : -1;
    std::string_view fields[6];
    std::size_t n = 0;
    for (std::string_view line = in.substr(0, end); n < 6 && !line.empty(); ++n) {
        auto sp = line.find(' ');
        fields[n] = line.substr(0, sp);
        line.remove_prefix(sp == std::string_view::npos ? line.size() : sp + 1);
    }
    std::memset(&out, 0, sizeof(out));
    len = 0;
    if (n >= 2 && fields[1] == "UNKNOWN") return static_cast<int>(end + 2);
    unsigned port = 0;
    if (n != 6 || !parse_uint<unsigned>(fields[4], port, 0, 65535)) return -1;
    const std::string client(fields[2]);
    auto *in4 = reinterpret_cast<sockaddr_in *>(&out);
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&out);
    if (fields[1] == "TCP4" && inet_pton(AF_INET, client.c_str(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(static_cast<std::uint16_t>(port));
        len = sizeof(sockaddr_in);
    } else if (fields[1] == "TCP6" && inet_pton(AF_INET6, client.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<std::uint16_t>(port));
        len = sizeof(sockaddr_in6);
    } else {
        return -1;
    }
    return static_cast<int>(end + 2);
}

}  // namespace oramet
