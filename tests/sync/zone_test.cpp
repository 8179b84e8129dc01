// Run once per TZ value (see CMakeLists.txt); each run finds its zone below.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "sync/zone.h"

namespace {

struct ZoneCase {
  const char* tz;
  // Months (1 to 12, UTC) that are wholly standard or wholly daylight time;
  // months with a change are left out, so the case does not depend on the day.
  unsigned standardMonths;  // bit m set for month m
  unsigned daylightMonths;
  int32_t standardBias;
  int32_t daylightBias;
  const char* standardName;  // nullptr: the name is not checked
  const char* daylightName;
};

constexpr unsigned Months(std::initializer_list<int> months) {
  unsigned bits = 0;
  for (int m : months) bits |= 1u << m;
  return bits;
}

const unsigned kAllMonths = Months({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});

// Wine reports Shanghai as a zone without daylight time whose record still
// holds a DaylightBias of -60: adding it would be wrong. A POSIX rule that
// is in daylight time all year matches no named zone, so Wine leaves the
// names empty. Bogota shares its rules with other zones, and which of their
// names Wine reports is its own choice, so only the bias is checked there.
const ZoneCase kZones[] = {
    {"Asia/Shanghai", kAllMonths, 0, -480, -540, "China Standard Time", nullptr},
    {"America/Bogota", kAllMonths, 0, 300, 240, nullptr, nullptr},
    {"America/New_York", Months({12, 1, 2}), Months({4, 5, 6, 7, 8, 9, 10}), 300, 240,
     "Eastern Standard Time", "Eastern Daylight Time"},
    {"Australia/Sydney", Months({5, 6, 7, 8, 9}), Months({11, 12, 1, 2, 3}), -600, -660,
     "AUS Eastern Standard Time", "AUS Eastern Daylight Time"},
    {"XST5XDT,J1/0,J365/25", 0, kAllMonths, 300, 240, nullptr, nullptr},
};

const ZoneCase* ZoneOfThisRun() {
  const char* tz = std::getenv("TZ");
  if (tz == nullptr) return nullptr;
  for (const ZoneCase& zone : kZones) {
    if (std::strcmp(zone.tz, tz) == 0) return &zone;
  }
  return nullptr;
}

class Zone : public testing::Test {
protected:
  void SetUp() override {
    zone = ZoneOfThisRun();
    if (zone == nullptr) GTEST_SKIP() << "TZ names no zone of this test";
    SYSTEMTIME now;
    GetSystemTime(&now);
    unsigned month = 1u << now.wMonth;
    if (zone->standardMonths & month) {
      daylight = false;
    } else if (zone->daylightMonths & month) {
      daylight = true;
    } else {
      GTEST_SKIP() << zone->tz << " changes between standard and daylight time this month";
    }
  }

  const ZoneCase* zone = nullptr;
  bool daylight = false;
};

TEST_F(Zone, BiasIncludesTheDaylightBiasOnlyInDaylightTime) {
  SCOPED_TRACE(zone->tz);
  EXPECT_EQ(CurrentBiasMinutes(), daylight ? zone->daylightBias : zone->standardBias);
}

TEST_F(Zone, NameFollowsTheSameTest) {
  SCOPED_TRACE(zone->tz);
  char name[256];
  std::memset(name, 0xcc, sizeof name);
  EXPECT_EQ(CurrentZoneName(name), 0);
  ASSERT_NE(std::memchr(name, '\0', 255), nullptr) << "the name is not terminated";
  const char* expected = daylight ? zone->daylightName : zone->standardName;
  if (expected != nullptr) {
    EXPECT_STREQ(name, expected);
  }
}

}  // namespace
