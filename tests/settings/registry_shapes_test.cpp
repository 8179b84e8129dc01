// Values of every odd shape under each name the program reads, stored with the
// raw RegSetValueExA and read by a real dialog's start-up: each must end in
// the defined default or parse, without a crash and without a message box.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/module.h"
#include "res/resource.h"
#include "settings/registry.h"
#include "tests/settings/stored_value.h"
#include "tests/support/message_boxes.h"
#include "ui/main_window.h"

namespace {

constexpr int32_t kSentinel = static_cast<int32_t>(0xdeadbeef);

// The older interval the new-key cases store beside theirs: 300 seconds tells
// that the new value could not be read, 3600 that it was read as no interval.
constexpr char kOlderMinutes[] = "5";
constexpr int32_t kOlderSeconds = 300;

// A literal with its embedded zero bytes, without its terminator.
template <size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// Four bytes of a DWORD as the registry keeps them, least significant first.
std::string Dword(uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
  return bytes;
}

// One stored shape. RegSetValueExA is given exactly `bytes`; the byte after
// them in the caller's buffer is zero unless `nonZeroAfter` (Wine stores one
// more, terminating, byte of a string type when that byte is zero).
struct Shape {
  const char* name;
  DWORD type;
  std::string bytes;
  bool nonZeroAfter = false;
};

void StoreRaw(const char* subKey, const char* valueName, const Shape& shape) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  std::vector<char> buffer(shape.bytes.begin(), shape.bytes.end());
  buffer.push_back(shape.nonZeroAfter ? 'x' : '\0');
  LONG result = RegSetValueExA(key, valueName, 0, shape.type,
                               reinterpret_cast<const BYTE*>(buffer.data()),
                               static_cast<DWORD>(shape.bytes.size()));
  RegCloseKey(key);
  ASSERT_EQ(result, ERROR_SUCCESS);
}

void WipeValues() {
  // Missing keys and values are as good as deleted.
  RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
  RegDeleteKeyA(HKEY_CURRENT_USER, kOlderSettingsKey);
  HKEY run;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &run) == ERROR_SUCCESS) {
    RegDeleteValueA(run, kRunValueName);
    RegCloseKey(run);
  }
}

// The program's window as start-up leaves it, with the clock timer stopped so
// that no tick fetches anything. Every field is pre-filled with a sentinel so
// that a loader that skips one is seen.
class StartedWindow {
public:
  StartedWindow() {
    window.intervalSeconds = kSentinel;
    window.showSeconds = kSentinel;
    window.autoStart = kSentinel;
    lstrcpynA(window.serverHost, "sentinel", sizeof window.serverHost);
    created = window.Create(g_module.instance(), IDD_MAIN) != nullptr;
    if (created) KillTimer(window.hwnd, CLOCK_TIMER);
  }
  ~StartedWindow() {
    if (created) DestroyWindow(window.hwnd);
  }
  StartedWindow(const StartedWindow&) = delete;
  StartedWindow& operator=(const StartedWindow&) = delete;

  MessageBoxRecorder boxes;  // before the window: start-up may raise one
  MainWindow window;
  bool created = false;
};

class RegistryShapes : public testing::Test {
protected:
  void SetUp() override {
    WipeValues();
    appended = StoredTerminatorBytes();
  }
  void TearDown() override { WipeValues(); }

  int appended = 0;  // see StoredTerminatorBytes
};

// Text of `length` bytes: zeros, then `tail`.
std::string Padded(size_t length, const std::string& tail) {
  return std::string(length - tail.size(), '0') + tail;
}

TEST_F(RegistryShapes, IntervalInTheNewKey) {
  const struct {
    Shape shape;
    int32_t intervalSeconds;
  } cases[] = {
      {{"REG_DWORD 90 is the text Z", REG_DWORD, Dword(90)}, 3600},
      {{"REG_DWORD whose bytes spell 90", REG_DWORD, Bytes("90\0\0")}, 90},
      {{"REG_DWORD whose bytes spell 9990, no zero", REG_DWORD, Bytes("9990")}, 9990},
      {{"REG_DWORD of two bytes", REG_DWORD, Bytes("75")}, 75},
      {{"REG_DWORD of zero bytes", REG_DWORD, ""}, kOlderSeconds},
      {{"REG_QWORD whose bytes spell 1200", REG_QWORD, Bytes("1200\0\0\0\0")}, 1200},
      {{"REG_BINARY 120 without terminator", REG_BINARY, "120"}, 120},
      {{"REG_BINARY of control and high bytes", REG_BINARY, Bytes("\x01\x02\xff")}, 3600},
      {{"REG_BINARY of zero bytes", REG_BINARY, ""}, kOlderSeconds},
      {{"REG_MULTI_SZ: its first string", REG_MULTI_SZ, Bytes("45\0" "7\0\0")}, 45},
      {{"REG_MULTI_SZ of no strings", REG_MULTI_SZ, Bytes("\0\0")}, 3600},
      {{"REG_EXPAND_SZ is not expanded", REG_EXPAND_SZ, "%SystemRoot%"}, 3600},
      {{"REG_EXPAND_SZ 75", REG_EXPAND_SZ, "75"}, 75},
      {{"REG_NONE 60", REG_NONE, "60"}, 60},
      {{"REG_SZ of zero bytes", REG_SZ, ""}, kOlderSeconds},
      {{"255 bytes, nothing appended", REG_SZ, Padded(255, "90"), true}, 90},
      {{"256 bytes, nothing appended", REG_SZ, Padded(256, "90"), true}, kOlderSeconds},
      {{"254 bytes", REG_SZ, Padded(254, "90")}, 90},
      {{"REG_BINARY of 255 bytes", REG_BINARY, Padded(255, "90")}, 90},
      {{"REG_BINARY of 256 bytes", REG_BINARY, Padded(256, "90")}, kOlderSeconds},
      {{"4096 bytes", REG_SZ, Padded(4096, "90")}, kOlderSeconds},
      {{"99999999999", REG_SZ, "99999999999"}, 3600},
      {{"2147483648", REG_SZ, "2147483648"}, 3600},
      {{"4294967386 (90 once wrapped)", REG_SZ, "4294967386"}, 3600},
      {{"-2147483649", REG_SZ, "-2147483649"}, 3600},
      {{"-2147483648", REG_SZ, "-2147483648"}, 3600},
      {{"2147483647", REG_SZ, "2147483647"}, 2147483647},
      {{"letters", REG_SZ, "abc"}, 3600},
      {{"blanks and a plus sign", REG_SZ, "  +90"}, 90},
      {{"tab, CR, LF and blank", REG_SZ, "\t\r\n 90"}, 90},
      {{"two signs", REG_SZ, "+-90"}, 3600},
      {{"hexadecimal", REG_SZ, "0x5A"}, 3600},
      {{"digits then a letter", REG_SZ, "9O"}, 9},
      {{"exponent", REG_SZ, "1e3"}, 1},
      {{"a zero byte inside the digits", REG_SZ, Bytes("9\0" "00")}, 9},
      {{"a zero byte first", REG_SZ, Bytes("\0" "90")}, 3600},
      {{"the terminator counted", REG_SZ, Bytes("90\0")}, 90},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shape.name);
    WipeValues();
    StoreRaw(kSettingsKey, "Interval", c.shape);
    StoreRaw(kOlderSettingsKey, "Interval", {"older", REG_SZ, kOlderMinutes});
    StartedWindow started;
    ASSERT_TRUE(started.created);
    EXPECT_EQ(started.window.intervalSeconds, c.intervalSeconds);
    EXPECT_EQ(started.window.showSeconds, 0);
    EXPECT_TRUE(started.boxes.boxes().empty());
  }
}

TEST_F(RegistryShapes, StringOfTheFullCapacityWithTheZeroWineAppends) {
  // 255 bytes followed by a zero byte in the caller's buffer: Wine stores 256,
  // which no longer fit, so the older key is asked.
  const Shape shape{"255 bytes, zero after", REG_SZ, Padded(255, "90")};
  StoreRaw(kSettingsKey, "Interval", shape);
  StoreRaw(kOlderSettingsKey, "Interval", {"older", REG_SZ, kOlderMinutes});
  StartedWindow started;
  ASSERT_TRUE(started.created);
  EXPECT_EQ(started.window.intervalSeconds, appended == 1 ? kOlderSeconds : 90);
}

TEST_F(RegistryShapes, IntervalInTheOlderKey) {
  const struct {
    Shape shape;
    int32_t intervalSeconds;
  } cases[] = {
      {{"REG_DWORD 5 is a control byte", REG_DWORD, Dword(5)}, 3600},
      {{"REG_DWORD whose bytes spell 5", REG_DWORD, Bytes("5\0\0\0")}, 300},
      {{"REG_BINARY 2", REG_BINARY, "2"}, 120},
      {{"REG_MULTI_SZ: its first string", REG_MULTI_SZ, Bytes("2\0" "9\0\0")}, 120},
      {{"REG_EXPAND_SZ 3", REG_EXPAND_SZ, "3"}, 180},
      {{"REG_SZ of zero bytes", REG_SZ, ""}, 3600},
      {{"REG_BINARY of zero bytes", REG_BINARY, ""}, 3600},
      {{"REG_BINARY of 255 bytes", REG_BINARY, Padded(255, "2")}, 120},
      {{"REG_BINARY of 256 bytes", REG_BINARY, Padded(256, "2")}, 3600},
      {{"256 bytes, nothing appended", REG_SZ, Padded(256, "2"), true}, 3600},
      {{"minutes at the top of the range", REG_SZ, "35791394"}, 2147483640},
      {{"minutes past the range as seconds", REG_SZ, "35791395"}, 3600},
      {{"99999999999", REG_SZ, "99999999999"}, 3600},
      {{"2147483648", REG_SZ, "2147483648"}, 3600},
      {{"-2147483649", REG_SZ, "-2147483649"}, 3600},
      {{"-35791395", REG_SZ, "-35791395"}, 3600},
      {{"blank and plus sign", REG_SZ, " +3"}, 180},
      {{"letter", REG_SZ, "x"}, 3600},
      {{"a zero byte inside the digits", REG_SZ, Bytes("1\0" "0")}, 60},
      {{"a zero byte first", REG_SZ, Bytes("\0" "5")}, 3600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shape.name);
    WipeValues();
    StoreRaw(kOlderSettingsKey, "Interval", c.shape);
    StartedWindow started;
    ASSERT_TRUE(started.created);
    EXPECT_EQ(started.window.intervalSeconds, c.intervalSeconds);
    EXPECT_TRUE(started.boxes.boxes().empty());
  }
}

TEST_F(RegistryShapes, ShowMode) {
  const struct {
    Shape shape;
    int32_t showSeconds;
  } cases[] = {
      {{"REG_DWORD 1 is a control byte", REG_DWORD, Dword(1)}, 0},
      {{"REG_DWORD whose bytes spell 1", REG_DWORD, Bytes("1\0\0\0")}, 1},
      {{"REG_BINARY 2", REG_BINARY, "2"}, 2},
      {{"REG_MULTI_SZ 1", REG_MULTI_SZ, Bytes("1\0\0")}, 1},
      {{"REG_EXPAND_SZ 1", REG_EXPAND_SZ, "1"}, 1},
      {{"REG_SZ of zero bytes", REG_SZ, ""}, 0},
      {{"REG_BINARY of 255 bytes", REG_BINARY, Padded(255, "1")}, 1},
      {{"REG_BINARY of 256 bytes", REG_BINARY, Padded(256, "1")}, 0},
      {{"99999999999", REG_SZ, "99999999999"}, 0},
      {{"2147483648", REG_SZ, "2147483648"}, 0},
      {{"-2147483649", REG_SZ, "-2147483649"}, 0},
      {{"-1 kept as read", REG_SZ, "-1"}, -1},
      {{"blank first", REG_SZ, " 1"}, 1},
      {{"letter", REG_SZ, "x"}, 0},
      {{"a zero byte first", REG_SZ, Bytes("\0" "1")}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shape.name);
    WipeValues();
    StoreRaw(kSettingsKey, "ShowMode", c.shape);
    StartedWindow started;
    ASSERT_TRUE(started.created);
    EXPECT_EQ(started.window.showSeconds, c.showSeconds);
    EXPECT_EQ(started.window.intervalSeconds, 3600);
    EXPECT_TRUE(started.boxes.boxes().empty());
  }
}

TEST_F(RegistryShapes, DailyCount) {
  // The count is read after a fetch, not at start-up: its own loader is run.
  const std::string spaces124(124, ' ');
  const struct {
    Shape shape;
    int32_t day;
    int32_t count;
  } cases[] = {
      {{"REG_BINARY 5,7", REG_BINARY, "5,7"}, 5, 7},
      {{"REG_DWORD 5 is a control byte", REG_DWORD, Dword(5)}, 0, -1},
      {{"REG_DWORD whose bytes spell 5,7", REG_DWORD, Bytes("5,7\0")}, 5, 7},
      {{"REG_MULTI_SZ: its first string", REG_MULTI_SZ, Bytes("5,7\0" "9,9\0\0")}, 5, 7},
      {{"REG_EXPAND_SZ is not expanded", REG_EXPAND_SZ, "%DAY%,7"}, 0, -1},
      {{"REG_SZ of zero bytes", REG_SZ, ""}, 0, -1},
      {{"REG_BINARY of zero bytes", REG_BINARY, ""}, 0, -1},
      {{"REG_BINARY of 127 bytes", REG_BINARY, "5,7" + spaces124}, 5, 7},
      {{"REG_BINARY of 128 bytes", REG_BINARY, "5,7 " + spaces124}, 0, -1},
      {{"127 bytes, nothing appended", REG_SZ, "5,7" + spaces124, true}, 5, 7},
      {{"128 bytes, nothing appended", REG_SZ, "5,7 " + spaces124, true}, 0, -1},
      {{"4096 bytes", REG_SZ, "5,7" + std::string(4093, ' ')}, 0, -1},
      {{"letter", REG_SZ, "x"}, 0, -1},
      {{"day only", REG_SZ, "5"}, 0, -1},
      {{"count only", REG_SZ, ",7"}, 0, -1},
      {{"blank before the comma", REG_SZ, " 5 , 7"}, 0, -1},
      {{"semicolon", REG_SZ, "5;7"}, 0, -1},
      {{"signs", REG_SZ, "+5,-7"}, 5, -7},
      {{"a third number", REG_SZ, "5,7,9"}, 5, 7},
      {{"a zero byte first", REG_SZ, Bytes("\0" "5,7")}, 0, -1},
      {{"a zero byte before the comma", REG_SZ, Bytes("5\0" ",7")}, 0, -1},
  };
  MainWindow window;  // the loader uses only the registry
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shape.name);
    WipeValues();
    StoreRaw(kSettingsKey, "Count", c.shape);
    int32_t day = kSentinel;
    int32_t count = kSentinel;
    window.ReadDailyCount(day, count);
    EXPECT_EQ(day, c.day);
    EXPECT_EQ(count, c.count);
  }
}

TEST_F(RegistryShapes, DailyCountBeyondTheRangeStillGivesBothNumbers) {
  // Which number a parse past the range gives is not fixed; both outputs must
  // still be set, and the loader must survive it.
  const char* texts[] = {"99999999999,5", "5,99999999999", "-2147483649,2147483648"};
  MainWindow window;
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    WipeValues();
    StoreRaw(kSettingsKey, "Count", {"huge", REG_SZ, text});
    int32_t day = kSentinel;
    int32_t count = kSentinel;
    window.ReadDailyCount(day, count);
    EXPECT_NE(day, kSentinel);
    EXPECT_NE(count, kSentinel);
  }
}

TEST_F(RegistryShapes, ServerHost) {
  const std::string longest(255, 'a');
  const struct {
    Shape shape;
    const char* host;
  } cases[] = {
      // Only a string names a host.
      {{"REG_BINARY address", REG_BINARY, "127.0.0.170"}, ORAMET_SERVER_HOST},
      {{"REG_DWORD of an address", REG_DWORD, Bytes("\x7f\0\0\x01")}, ORAMET_SERVER_HOST},
      {{"REG_DWORD whose bytes spell a name", REG_DWORD, "abcd"}, ORAMET_SERVER_HOST},
      {{"REG_QWORD whose bytes spell a name", REG_QWORD, "abcdefgh"}, ORAMET_SERVER_HOST},
      {{"REG_MULTI_SZ", REG_MULTI_SZ, Bytes("127.0.0.171\0other\0\0")}, ORAMET_SERVER_HOST},
      {{"REG_EXPAND_SZ", REG_EXPAND_SZ, "%COMPUTERNAME%"}, ORAMET_SERVER_HOST},
      {{"REG_NONE", REG_NONE, "127.0.0.172"}, ORAMET_SERVER_HOST},
      {{"REG_SZ of 255 bytes", REG_SZ, longest, true}, longest.c_str()},
      {{"REG_SZ of zero bytes", REG_SZ, ""}, ORAMET_SERVER_HOST},
      {{"REG_BINARY of zero bytes", REG_BINARY, ""}, ORAMET_SERVER_HOST},
      {{"256 bytes, nothing appended", REG_SZ, longest + "a", true}, ORAMET_SERVER_HOST},
      {{"4096 bytes", REG_SZ, std::string(4096, 'a')}, ORAMET_SERVER_HOST},
      {{"a zero byte first is no host", REG_SZ, Bytes("\0" "127.0.0.172")}, ORAMET_SERVER_HOST},
      {{"REG_MULTI_SZ of no strings", REG_MULTI_SZ, Bytes("\0\0")}, ORAMET_SERVER_HOST},
      {{"a zero byte after the host", REG_SZ, Bytes("127.0.0.173\0junk")}, "127.0.0.173"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shape.name);
    WipeValues();
    StoreRaw(kSettingsKey, "Server", c.shape);
    StartedWindow started;
    ASSERT_TRUE(started.created);
    EXPECT_STREQ(started.window.serverHost, c.host);
    EXPECT_TRUE(started.boxes.boxes().empty());
  }
}

TEST_F(RegistryShapes, RunValueOfAnOddShapeLeavesTheBoxUnchecked) {
  const struct Shape cases[] = {
      {"REG_DWORD 1", REG_DWORD, Dword(1)},
      {"REG_BINARY of control and high bytes", REG_BINARY, Bytes("\x01\x02\xff")},
      {"REG_MULTI_SZ", REG_MULTI_SZ, Bytes("C:\\other.exe\0\0")},
      {"REG_EXPAND_SZ", REG_EXPAND_SZ, "%ProgramFiles%\\other.exe"},
      {"REG_SZ of zero bytes", REG_SZ, ""},
      {"REG_BINARY of zero bytes", REG_BINARY, ""},
      {"256 bytes, nothing appended", REG_SZ, "C:\\" + std::string(253, 'a'), true},
      {"4096 bytes", REG_SZ, "C:\\" + std::string(4093, 'a')},
      {"a zero byte first", REG_SZ, Bytes("\0C:\\other.exe")},
      {"another program", REG_SZ, "C:\\other.exe"},
  };
  for (const auto& shape : cases) {
    SCOPED_TRACE(shape.name);
    WipeValues();
    StoreRaw(kRunKey, kRunValueName, shape);
    StartedWindow started;
    ASSERT_TRUE(started.created);
    EXPECT_EQ(started.window.autoStart, 0);
    EXPECT_EQ(SendDlgItemMessageA(started.window.hwnd, IDC_AUTOSTART, BM_GETCHECK, 0, 0),
              BST_UNCHECKED);
    EXPECT_TRUE(started.boxes.boxes().empty());
  }
}

}  // namespace
