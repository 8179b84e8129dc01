// What the clock pipe allows, as plain values: who may add instances, how
// many one user may hold, and how much of an over-long request is read.
// No Windows header.
#pragma once
#include <cstdint>

// The most instances at once; a client beyond them waits for one to free.
constexpr int kPipeInstances = 16;
// No user holds more than this many at once, so that one who reconnects
// from many threads leaves the rest to others.
constexpr int kUserShare = kPipeInstances / 2;
// A SID's binary form is at most this long (SECURITY_MAX_SID_SIZE).
constexpr int kSidLimit = 68;
// Of a request over kClockRequestLimit, at most this much more is read and
// dropped before the connection is cut.
constexpr uint32_t kDrainLimit = 65536;

// The pipe's access list in SDDL, written zero-terminated into out.
// serviceSid ("S-1-5-80-…") is the one account besides SYSTEM and
// Administrators that may add instances; null keeps LocalService as a
// whole, for a service whose token lacks its own SID. Returns the length,
// or -1 when it does not fit.
int FormatPipeSecurity(const char* serviceSid, char* out, int capacity);

// The instances each user holds, as a user's SID bytes and a count. Not
// thread-safe: the pipe server guards it.
class InstanceShares {
public:
  // Counts one more instance for the user unless they already hold
  // kUserShare; false (nothing counted) for a SID that is empty or too long.
  bool Take(const uint8_t* sid, int length);
  // Gives back an instance counted by Take.
  void Release(const uint8_t* sid, int length);

private:
  struct Share {
    uint8_t sid[kSidLimit];
    int length = 0;
    int held = 0;  // 0: a free row
  };
  Share* Find(const uint8_t* sid, int length);
  // One row per instance at most, so a row is always free for a new user.
  Share shares_[kPipeInstances];
};
