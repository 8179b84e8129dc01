// The head of a reply written on the bare socket, as H2O writes ours.
#pragma once

#include <cstddef>
#include <ctime>
#include <string_view>

namespace oramet {

// Name the server gives itself in every reply.
constexpr std::string_view kServerName = "oramet-timed";

// "Mon, 07 Dec 2026 18:31:37 GMT" (29 bytes, no terminator) for Unix time
// `t`; `out` needs 32 bytes.
std::size_t format_http_date(std::time_t t, char *out);

// The head of a reply as H2O writes ours, byte for byte. `out` needs
// kMaxReplyHead bytes; returns the length.
constexpr std::size_t kMaxReplyHead = 256;
std::size_t format_reply_head(char *out, int status, std::string_view reason, std::string_view date,
                              std::size_t content_length, bool no_store);

}  // namespace oramet
