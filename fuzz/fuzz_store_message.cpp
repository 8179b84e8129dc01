// Bytes that come from the offence store (a published block, a member of
// the blocked set) or from the config (the store's address): a message read
// back must be the one a replica would write for what it names, and an
// address accepted must name a host and a port.
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "logic.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ExactBuffer input(data, size);
  const std::string_view raw(input.get(), size);
  oramet::AddrKey key{};
  std::int64_t until = -1;
  if (oramet::parse_block_message(raw, key, until)) {
    FUZZ_CHECK(until >= 0);
    oramet::AddrKey again{};
    std::int64_t until_again = -1;
    FUZZ_CHECK(oramet::parse_block_message(oramet::block_message(key, until), again, until_again));
    FUZZ_CHECK(again == key && until_again == until);
  }
  if (auto k = oramet::parse_addr_key_text(raw)) FUZZ_CHECK(oramet::parse_addr_key_text(oramet::addr_key_text(*k)) == k);
  oramet::StoreAddress address;
  std::string error;
  if (oramet::parse_store_address(raw, address, error)) FUZZ_CHECK(!address.host.empty() && address.port != 0);
  else FUZZ_CHECK(!error.empty());
  return 0;
}
