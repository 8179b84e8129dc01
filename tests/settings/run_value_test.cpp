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

}  // namespace
