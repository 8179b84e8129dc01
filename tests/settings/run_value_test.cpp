#include <gtest/gtest.h>

#include <string>

#include "settings/run_value.h"

namespace {

TEST(RunValue, PathWithASpaceIsQuoted) {
  EXPECT_EQ(RunValueForPath("C:\\Tools\\oramet.exe"), "C:\\Tools\\oramet.exe");
  EXPECT_EQ(RunValueForPath("C:\\Program Files\\Oramet\\oramet.exe"),
            "\"C:\\Program Files\\Oramet\\oramet.exe\"");
  EXPECT_EQ(RunValueForPath("C:\\a b c\\x.exe"), "\"C:\\a b c\\x.exe\"");
}

TEST(RunValue, BareAndQuotedFormsNameThePathExactly) {
  const std::string path = "C:\\Program Files\\Oramet\\oramet.exe";
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
    EXPECT_EQ(RunValueFits(RunValueForPath(path)), c.fits);
  }
}

}  // namespace
