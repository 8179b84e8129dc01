// What the clock pipe allows, as plain values: its access list and each
// user's share of the instances.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "service/pipe_rules.h"

namespace {

TEST(PipeRules, AccessListLetsOnlyTheServiceAddInstances) {
  const char kSid[] = "S-1-5-80-1234567890-2345678901-3456789012-4567890123-567890123";
  const std::string kFixed = "D:P(D;;GA;;;AN)(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)";
  const std::string kUsers = "(A;;0x12019b;;;AU)";
  const std::string kLocalService = kFixed + "(A;;GA;;;LS)" + kUsers;
  const struct {
    const char* name;
    const char* sid;
    int capacity;
    std::string sddl;  // empty: does not fit
  } cases[] = {
      {"own SID", kSid, 192, kFixed + "(A;;GA;;;" + kSid + ")" + kUsers},
      {"no SID in the token", nullptr, 192, kLocalService},
      {"exactly fits", nullptr, static_cast<int>(kLocalService.size() + 1), kLocalService},
      {"one byte short", nullptr, static_cast<int>(kLocalService.size()), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char out[192];
    int length = FormatPipeSecurity(c.sid, out, c.capacity);
    EXPECT_EQ(length, c.sddl.empty() ? -1 : static_cast<int>(c.sddl.size()));
    if (!c.sddl.empty()) {
      EXPECT_EQ(std::string(out), c.sddl);
    }
  }
}

TEST(PipeRules, NoUserHoldsMoreThanHalfTheInstances) {
  InstanceShares shares;
  const uint8_t alice[] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1};
  const uint8_t bob[] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 2};
  const uint8_t longer[] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0};
  const uint8_t huge[kSidLimit + 1] = {1};
  const struct {
    const char* name;
    const uint8_t* sid;
    int length;
    int take;      // Take called this often
    int admitted;  // of which true
    int release;   // Release called this often afterwards
  } steps[] = {
      {"alice up to her share", alice, sizeof alice, kUserShare + 3, kUserShare, 0},
      {"bob has the other half", bob, sizeof bob, kUserShare, kUserShare, 0},
      {"a SID that only begins as alice's", longer, sizeof longer, 1, 1, 1},
      {"alice gives one back", alice, sizeof alice, 0, 0, 1},
      {"alice may take it again, once", alice, sizeof alice, 2, 1, 0},
      {"bob gives all back", bob, sizeof bob, 0, 0, kUserShare},
      {"no SID", alice, 0, 1, 0, 0},
      {"SID too long", huge, sizeof huge, 1, 0, 0},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    int admitted = 0;
    for (int i = 0; i < s.take; ++i) admitted += shares.Take(s.sid, s.length) ? 1 : 0;
    EXPECT_EQ(admitted, s.admitted);
    for (int i = 0; i < s.release; ++i) shares.Release(s.sid, s.length);
  }
}

TEST(PipeRules, AUserWhoGaveAllBackLeavesARowForAnother) {
  // One row per instance: sixteen users fill them, and a seventeenth finds
  // one only once a user holds none.
  InstanceShares shares;
  uint8_t users[kPipeInstances + 1][12] = {};
  for (int i = 0; i <= kPipeInstances; ++i) users[i][11] = static_cast<uint8_t>(i + 1);
  for (int i = 0; i < kPipeInstances; ++i) EXPECT_TRUE(shares.Take(users[i], 12)) << i;
  EXPECT_FALSE(shares.Take(users[kPipeInstances], 12));
  shares.Release(users[3], 12);
  EXPECT_TRUE(shares.Take(users[kPipeInstances], 12));
  EXPECT_FALSE(shares.Take(users[3], 12));
}

}  // namespace
