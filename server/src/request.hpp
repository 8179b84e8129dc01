// What a request asks for: its route, the time query, the simple requests
// answered without H2O, and the time body.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "version.hpp"

namespace oramet {

enum class Route { Time, Banner, NotFound };

// `target` is the request target as sent ("/?v=2.07", or in absolute form
// "http://host/?v=2.07"). GET and HEAD (the same answer without its body)
// count; any other method is not found.
Route route_request(std::string_view method, std::string_view target);

struct TimeQuery {
    bool malformed = false;      // no usable "v=" in the query
    bool needs_upgrade = false;  // below the configured minimum version
};

// `query` is the part after '?'. With no minimum configured nobody needs an
// upgrade; with one, a missing or malformed version counts as the oldest.
TimeQuery classify_time_query(std::string_view query, const std::optional<Version> &minimum);

// Unix time in seconds directly followed by exactly three digits of
// milliseconds (rounded to the nearest millisecond), e.g. "1733550000123".
// Writes no terminator; returns the length. `out` needs 32 bytes.
std::size_t format_time_body(const struct timespec &ts, char *out);
std::string format_time_body(const struct timespec &ts);

// A request that needs no HTTP machinery: exactly one complete GET or HEAD
// in HTTP/1.1, nothing after it, and only headers that change nothing about
// the answer (Host, User-Agent, Accept*, Cache-Control, Pragma, Connection
// close or keep-alive), with plain values. What a client such as Oramet
// sends; anything else is left to H2O.
struct SimpleRequest {
    std::string_view method;
    std::string_view target;
};
bool parse_simple_request(std::string_view raw, SimpleRequest &out);

}  // namespace oramet
