#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "settings/registry.h"
#include "tests/settings/stored_value.h"

namespace {

constexpr char kParent[] = "SOFTWARE\\Velmora\\OrametRegistryTest";
constexpr char kKey[] = "SOFTWARE\\Velmora\\OrametRegistryTest\\Inner";

void SetRaw(const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(key);
}

class Registry : public testing::Test {
protected:
  void SetUp() override { Wipe(); }
  void TearDown() override { Wipe(); }
  static void Wipe() {
    // Missing keys are as good as deleted.
    RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
    RegDeleteKeyA(HKEY_CURRENT_USER, kParent);
  }
};

TEST_F(Registry, WritesTheTextAsRegSzCreatingParents) {
  ASSERT_EQ(RegWriteString(kKey, "Interval", "300"), 0);
  ExpectStoredText(kKey, "Interval", "300");
  ASSERT_EQ(RegWriteString(kKey, "Interval", "7"), 0);
  ExpectStoredText(kKey, "Interval", "7");
  ASSERT_EQ(RegWriteString(kKey, "Count", "-12,345"), 0);
  ExpectStoredText(kKey, "Count", "-12,345");
}

TEST_F(Registry, WriteFailsWhenTheKeyCannotBeMade) {
  std::string tooLong = std::string(kKey) + "\\" + std::string(300, 'k');
  EXPECT_EQ(RegWriteString(tooLong.c_str(), "Interval", "1"), -1);
}

TEST_F(Registry, ReadClassifiesEveryOutcome) {
  const int appended = StoredTerminatorBytes();
  const std::string longest(255 - appended, '9');
  const std::string tooLong(256 - appended, '9');
  const DWORD dword = 0x34333231;  // the bytes 1 2 3 4
  ASSERT_EQ(RegWriteString(kKey, "Empty", ""), 0);
  ASSERT_EQ(RegWriteString(kKey, "Longest", longest.c_str()), 0);
  ASSERT_EQ(RegWriteString(kKey, "TooLong", tooLong.c_str()), 0);
  SetRaw("Dword", REG_DWORD, &dword, sizeof dword);
  SetRaw("Terminated", REG_SZ, "90", 3);
  ASSERT_EQ(RegWriteString(kKey, "Short", "300"), 0);

  const struct {
    const char* name;
    const char* key;
    const char* value;
    int result;
    const char* text;  // nullptr: not checked
    DWORD size;
  } cases[] = {
      {"missing key", "SOFTWARE\\Velmora\\OrametRegistryTest\\Missing", "X", -2, nullptr, 0},
      {"missing value", kKey, "Missing", -1, nullptr, 0},
      {"empty value", kKey, "Empty", -3, nullptr, 0},
      {"exactly the capacity", kKey, "Longest", 0, longest.c_str(), 255},
      {"one byte over the capacity", kKey, "TooLong", -1, nullptr, 0},
      {"a DWORD is taken as its bytes", kKey, "Dword", 0, "1234", 4},
      {"a stored terminator reads the same", kKey, "Terminated", 0, "90", 3},
      {"a short text", kKey, "Short", 0, "300", static_cast<DWORD>(3 + appended)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char buffer[256];
    std::memset(buffer, 0xcc, sizeof buffer);
    DWORD size = sizeof buffer - 1;
    EXPECT_EQ(RegReadString(c.key, c.value, buffer, size), c.result);
    if (c.text != nullptr) {
      EXPECT_EQ(size, c.size);
      EXPECT_STREQ(buffer, c.text);
      EXPECT_EQ(buffer[size], '\0');
    }
  }
}

TEST_F(Registry, ReadNeverCreatesTheKey) {
  char buffer[16];
  DWORD size = sizeof buffer - 1;
  EXPECT_EQ(RegReadString(kKey, "Interval", buffer, size), -2);
  HKEY key;
  EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, kParent, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
}

}  // namespace
