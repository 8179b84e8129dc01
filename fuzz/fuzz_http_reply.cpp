// Any bytes as one receive delivers them to ExtractBody: the header end is the
// first "\r\n\r\n" before any zero byte, the body is every byte after it, and
// nothing outside the received bytes and their terminator is touched.
#include <algorithm>

#include "fuzz/fuzz_check.h"
#include "net/http_reply.h"
#include "sync/protocol.h"

namespace {

// Offset of the body after the first "\r\n\r\n" lying wholly before the first
// zero byte, or -1.
int BodyOffset(const uint8_t* data, int size) {
  for (int i = 0; i + 4 <= size; ++i) {
    if (data[i] == 0) return -1;
    if (std::memcmp(data + i, "\r\n\r\n", 4) == 0) return i + 4;
  }
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An empty receive never reaches ExtractBody; the banner's receive is the
  // client's largest, capacity less one.
  if (size == 0) return 0;
  const int received = static_cast<int>(std::min<size_t>(size, kBannerCapacity - 1));

  // The room for one byte more that ExtractBody asks for, and not a byte
  // beyond: the client's own buffers are larger.
  ExactBuffer buffer(data, static_cast<size_t>(received));
  std::memset(buffer.get() + received, 0x5a, 1);  // ExtractBody must terminate
  const int length = ExtractBody(buffer.get(), received);

  const int offset = BodyOffset(data, received);
  if (offset < 0) {
    FUZZ_CHECK(length == -1);
    FUZZ_CHECK(std::memcmp(buffer.get(), data, static_cast<size_t>(received)) == 0);
  } else {
    FUZZ_CHECK(length == received - offset);
    FUZZ_CHECK(length >= 0 && length <= received - 4);
    FUZZ_CHECK(std::memcmp(buffer.get(), data + offset, static_cast<size_t>(length)) == 0);
    FUZZ_CHECK(buffer.get()[length] == '\0');
  }
  // The terminator stays past the received bytes whatever was moved.
  FUZZ_CHECK(buffer.get()[received] == '\0');
  return 0;
}
