// The banner: link and text in UTF-8 from the config, sent in code page 936.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace oramet {

// The client reads the reply with a single recv() of at most this many bytes.
constexpr std::size_t kClientReceiveLimit = 1023;
// Upper bound for the banner body (link, tab, text in code page 936). The
// response headers take at most about 130 bytes, so a banner of this size
// still fits into one client receive with room to spare.
constexpr std::size_t kMaxBannerBytes = 850;

// Builds "link<TAB>text" in code page 936 from UTF-8 input. Fails on invalid
// UTF-8, characters code page 936 cannot represent, a tab/CR/LF/NUL in the
// link, NUL in the text, or a result longer than `max_bytes`.
bool build_banner(std::string_view link_utf8, std::string_view text_utf8, std::string &out,
                  std::string &error, std::size_t max_bytes = kMaxBannerBytes);

}  // namespace oramet
