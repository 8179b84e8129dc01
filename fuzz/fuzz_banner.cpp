// Any banner body, as it stands in the banner buffer after ExtractBody: the
// link starts after the leading blanks, ends at the first tab, and the rest
// follows it; both lie inside the body and only that tab is overwritten.
#include <algorithm>

#include "fuzz/fuzz_check.h"
#include "sync/protocol.h"

namespace {

bool IsBannerSpace(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The client keeps the banner when the body is empty; the longest body is a
  // full receive (capacity less one) after the shortest header end.
  if (size == 0) return 0;
  const size_t length = std::min<size_t>(size, kBannerCapacity - 1 - 4);
  ExactBuffer reply(data, length);
  char* const begin = reply.get();
  // Where the client's string functions see the body end.
  const char* const end = begin + std::strlen(begin);

  char* link = SkipBannerSpace(begin);
  FUZZ_CHECK(link >= begin && link <= end);
  for (const char* p = begin; p < link; ++p) FUZZ_CHECK(IsBannerSpace(*p));
  FUZZ_CHECK(link == end || !IsBannerSpace(*link));

  const char* const tab = static_cast<const char*>(std::memchr(link, '\t', end - link));
  char* rest = SplitAtChar(link, '\t');
  if (tab == nullptr) {
    FUZZ_CHECK(rest == end);
    FUZZ_CHECK(*rest == '\0');
  } else {
    FUZZ_CHECK(rest == tab + 1);
    FUZZ_CHECK(*(rest - 1) == '\0');
  }
  FUZZ_CHECK(rest >= link && rest <= begin + length);
  FUZZ_CHECK(std::strlen(link) == static_cast<size_t>((tab != nullptr ? tab : end) - link));
  FUZZ_CHECK(std::strlen(rest) <= static_cast<size_t>(begin + length - rest));

  // Nothing but the one tab changed.
  for (size_t i = 0; i < length; ++i) {
    if (begin + i == tab) continue;
    FUZZ_CHECK(begin[i] == static_cast<char>(data[i]));
  }
  FUZZ_CHECK(begin[length] == '\0');
  return 0;
}
