#include "service/pipe_rules.h"

#include <cstring>

#include "app/format_text.h"

int FormatPipeSecurity(const char* serviceSid, char* out, int capacity) {
  // SYSTEM, Administrators and the service itself may do anything;
  // authenticated users may read, write and set the read mode, but not
  // create instances (0x12019b is FILE_GENERIC_READ with FILE_WRITE_DATA,
  // FILE_WRITE_EA and FILE_WRITE_ATTRIBUTES, and without FILE_APPEND_DATA,
  // which on a pipe is FILE_CREATE_PIPE_INSTANCE): no user can put a server
  // of their own behind the name. Anonymous and network logons are denied
  // outright.
  int length = FormatText(out, static_cast<std::size_t>(capacity),
                          "D:P(D;;GA;;;AN)(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;%s)"
                          "(A;;0x12019b;;;AU)",
                          serviceSid != nullptr ? serviceSid : "LS");
  return length < capacity ? length : -1;
}

InstanceShares::Share* InstanceShares::Find(const uint8_t* sid, int length) {
  for (Share& share : shares_) {
    if (share.held > 0 && share.length == length && std::memcmp(share.sid, sid, length) == 0)
      return &share;
  }
  return nullptr;
}

bool InstanceShares::Take(const uint8_t* sid, int length) {
  if (length <= 0 || length > kSidLimit) return false;
  Share* share = Find(sid, length);
  if (share == nullptr) {
    for (Share& row : shares_) {
      if (row.held == 0) {
        share = &row;
        std::memcpy(share->sid, sid, length);
        share->length = length;
        break;
      }
    }
  }
  if (share == nullptr || share->held >= kUserShare) return false;
  ++share->held;
  return true;
}

void InstanceShares::Release(const uint8_t* sid, int length) {
  Share* share = Find(sid, length);
  if (share != nullptr) --share->held;
}
