#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "settings/run_value.h"

namespace {

TEST(RunValue, PathWithASpaceIsQuotedWhenItFits) {
  struct Case {
    const char* path;
    std::size_t capacity;
    const char* data;  // nullptr: does not fit
  } cases[] = {
      {"C:\\Tools\\oramet.exe", 64, "C:\\Tools\\oramet.exe"},
      {"C:\\Program Files\\Oramet\\oramet.exe", 64,
       "\"C:\\Program Files\\Oramet\\oramet.exe\""},
      {"C:\\a b c\\x.exe", 64, "\"C:\\a b c\\x.exe\""},
      {"C:\\x.exe", 9, "C:\\x.exe"},  // exactly, with the zero
      {"C:\\x.exe", 8, nullptr},
      {"C:\\a b.exe", 13, "\"C:\\a b.exe\""},
      {"C:\\a b.exe", 12, nullptr},  // the quotes count
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    char data[64];
    std::memset(data, 'x', sizeof data);
    int length = RunValueForPath(c.path, data, c.capacity);
    if (c.data == nullptr) {
      EXPECT_EQ(length, -1);
      EXPECT_STREQ(data, "");
    } else {
      EXPECT_EQ(length, static_cast<int>(std::strlen(c.data)));
      EXPECT_STREQ(data, c.data);
    }
  }
}

TEST(RunValue, BareAndQuotedFormsNameThePathExactly) {
  const char* path = "C:\\Program Files\\Oramet\\oramet.exe";
  struct Case {
    const char* stored;
    bool names;
  } cases[] = {
      {"C:\\Program Files\\Oramet\\oramet.exe", true},
      {"\"C:\\Program Files\\Oramet\\oramet.exe\"", true},
      {"c:\\program files\\oramet\\oramet.exe", false},
      {"\"C:\\Program Files\\Oramet\\oramet.exe\" /min", false},
      {"C:\\Program Files\\Oramet\\oramet.exe /min", false},
      {"\"C:\\Program Files\\Oramet\\oramet.exe", false},
      {"C:\\Program Files\\Oramet\\oramet.exe\"", false},
      {"C:\\Other\\oramet.exe", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    EXPECT_EQ(RunValueNamesPath(c.stored, path), c.names);
  }
}

TEST(RunValue, OnlyDataThatReadsBackWholeFits) {
  // The read takes 255 bytes, and the system may store a zero after the data.
  const struct {
    size_t pathLength;
    bool spaced;
    bool fits;
  } cases[] = {
      {252, true, true},   {253, true, false}, {254, true, false}, {259, true, false},
      {254, false, true},  {255, false, false}, {259, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pathLength << (c.spaced ? " with a space" : ""));
    std::string path = "C:\\" + std::string(c.pathLength - 3, 'a');
    if (c.spaced) path[3] = ' ';
    char data[kRunValueCapacity];
    EXPECT_EQ(RunValueForPath(path.c_str(), data, sizeof data) >= 0, c.fits);
  }
}

TEST(RunValue, OnlyAValueNamingTheMovedProgramIsRepointed) {
  const char* before = "C:\\Program Files (x86)\\Oramet\\oramet.exe";
  const char* after = "C:\\Program Files\\Oramet\\oramet.exe";
  const char* moved = "\"C:\\Program Files\\Oramet\\oramet.exe\"";
  struct Case {
    const char* stored;
    const char* data;  // nullptr: left alone
  } cases[] = {
      {"\"C:\\Program Files (x86)\\Oramet\\oramet.exe\"", moved},
      {"C:\\Program Files (x86)\\Oramet\\oramet.exe", moved},
      {"\"c:\\PROGRAM FILES (X86)\\oramet\\Oramet.EXE\"", moved},
      {"\"C:\\Program Files (x86)\\Oramet\\oramet.exe\" /min", nullptr},
      {"\"C:\\Program Files (x86)\\Oramet\\oramet.exe", nullptr},
      {"C:\\Program Files (x86)\\Oramet\\oramet.ex", nullptr},
      {"C:\\Program Files (x86)\\Oramet\\oramet.exe2", nullptr},
      {"\"C:\\Oramet Portable\\oramet.exe\"", nullptr},
      {moved, nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    char data[kRunValueCapacity];
    std::memset(data, 'x', sizeof data);
    int length = RepointRunValue(c.stored, before, after, data, sizeof data);
    if (c.data == nullptr) {
      EXPECT_EQ(length, -1);
      EXPECT_EQ(data[0], 'x');
    } else {
      EXPECT_EQ(length, static_cast<int>(std::strlen(c.data)));
      EXPECT_STREQ(data, c.data);
    }
  }
  // A new path whose data would not read back whole is never written.
  std::string deep = "C:\\" + std::string(253, 'a') + " b.exe";
  char data[kRunValueCapacity];
  EXPECT_EQ(RepointRunValue(before, before, deep.c_str(), data, sizeof data), -1);
  EXPECT_EQ(RepointRunValue("", "", after, data, sizeof data), -1);
}

}  // namespace
