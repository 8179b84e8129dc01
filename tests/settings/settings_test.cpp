#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "settings/registry.h"
#include "tests/settings/stored_value.h"
#include "ui/main_window.h"

namespace {

constexpr int32_t kSentinel = static_cast<int32_t>(0xdeadbeef);

void WipeKeys() {
  // Missing keys are as good as deleted.
  RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
  RegDeleteKeyA(HKEY_CURRENT_USER, kOlderSettingsKey);
}

// nullptr leaves the value out.
void Store(const char* key, const char* name, const char* text) {
  if (text != nullptr) {
    ASSERT_EQ(RegWriteString(key, name, text), 0);
  }
}

class Settings : public testing::Test {
protected:
  void SetUp() override { WipeKeys(); }
  void TearDown() override { WipeKeys(); }
  MainWindow window;  // never created: these methods use only the registry
};

TEST_F(Settings, LoadSettingsFallsBackInOrder) {
  // Capacity 255: the longest readable value and one byte more.
  const int appended = StoredTerminatorBytes();
  const std::string padded90 = std::string(253 - appended, '0') + "90";
  const std::string padded91 = std::string(254 - appended, '0') + "91";
  const struct {
    const char* name;
    const char* interval;
    const char* olderInterval;
    const char* showMode;
    int32_t intervalSeconds;
    int32_t showSeconds;
  } cases[] = {
      {"nothing stored", nullptr, nullptr, nullptr, 3600, 0},
      {"new value in seconds", "90", "5", "1", 90, 1},
      {"new value with blanks and junk", " 120x", nullptr, nullptr, 120, 0},
      {"new value 0 does not ask the older key", "0", "5", nullptr, 3600, 0},
      {"negative new value", "-5", "5", nullptr, 3600, 0},
      {"new value without digits", "abc", "5", nullptr, 3600, 0},
      {"new value beyond 32 bits", "4294967386", "5", nullptr, 3600, 0},
      {"new value missing: older minutes", nullptr, "5", nullptr, 300, 0},
      {"new value empty: older minutes", "", "5", nullptr, 300, 0},
      {"older value 0", nullptr, "0", nullptr, 3600, 0},
      {"older value negative", nullptr, "-1", nullptr, 3600, 0},
      {"older value empty", nullptr, "", nullptr, 3600, 0},
      {"older minutes at the top of the range", nullptr, "35791394", nullptr, 2147483640, 0},
      {"older minutes overflowing as seconds", nullptr, "35791395", nullptr, 3600, 0},
      {"longest readable new value", padded90.c_str(), "5", nullptr, 90, 0},
      {"new value one byte too long", padded91.c_str(), "5", nullptr, 300, 0},
      {"show mode 2 kept as read", nullptr, nullptr, "2", 3600, 2},
      {"show mode 0", nullptr, nullptr, "0", 3600, 0},
      {"show mode without digits", nullptr, nullptr, "x", 3600, 0},
      {"show mode empty", nullptr, nullptr, "", 3600, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WipeKeys();
    Store(kSettingsKey, "Interval", c.interval);
    Store(kOlderSettingsKey, "Interval", c.olderInterval);
    Store(kSettingsKey, "ShowMode", c.showMode);
    window.intervalSeconds = kSentinel;
    window.showSeconds = kSentinel;
    window.LoadSettings();
    EXPECT_EQ(window.intervalSeconds, c.intervalSeconds);
    EXPECT_EQ(window.showSeconds, c.showSeconds);
  }
}

TEST_F(Settings, LoadSettingsOnlyReads) {
  window.LoadSettings();
  HKEY key;
  EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, kOlderSettingsKey, 0, KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
}

TEST_F(Settings, ReadDailyCountParsesOrGivesTheDefaults) {
  // Capacity 127: the longest readable value and one byte more.
  const int appended = StoredTerminatorBytes();
  const std::string longest = "5,7" + std::string(124 - appended, ' ');
  const std::string tooLong = "5,7" + std::string(125 - appended, ' ');
  const struct {
    const char* name;
    const char* stored;
    int32_t day;
    int32_t count;
  } cases[] = {
      // The parse itself is checked natively.
      {"missing", nullptr, 0, -1},
      {"day and count", "5,7", 5, 7},
      {"empty", "", 0, -1},
      {"only a day", "5", 0, -1},
      {"longest readable value", longest.c_str(), 5, 7},
      {"one byte too long", tooLong.c_str(), 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WipeKeys();
    Store(kSettingsKey, "Count", c.stored);
    int32_t day = kSentinel;
    int32_t count = kSentinel;
    window.ReadDailyCount(day, count);
    EXPECT_EQ(day, c.day);
    EXPECT_EQ(count, c.count);
  }
}

TEST_F(Settings, WriteDailyCountStoresDayCommaCount) {
  const struct {
    int32_t day;
    int32_t count;
    const char* text;
  } cases[] = {{5, 8, "5,8"}, {6, 1, "6,1"}, {31, 12345, "31,12345"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(window.WriteDailyCount(c.day, c.count), 0);
    ExpectStoredText(kSettingsKey, "Count", c.text);
    int32_t day = kSentinel;
    int32_t count = kSentinel;
    window.ReadDailyCount(day, count);
    EXPECT_EQ(day, c.day);
    EXPECT_EQ(count, c.count);
  }
}

TEST_F(Settings, ServerValueOverridesTheBuiltInHost) {
  const struct {
    const char* stored;
    const char* host;
  } cases[] = {
      {nullptr, ORAMET_SERVER_HOST},
      {"", ORAMET_SERVER_HOST},
      {"127.0.0.60", "127.0.0.60"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored ? c.stored : "missing");
    WipeKeys();
    Store(kSettingsKey, "Server", c.stored);
    lstrcpynA(window.serverHost, "sentinel", sizeof window.serverHost);
    window.LoadServerHost();
    EXPECT_STREQ(window.serverHost, c.host);
  }
  WipeKeys();
  window.LoadServerHost();
  HKEY key;
  EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS)
      << "reading the host must not create the settings key";
}

}  // namespace
