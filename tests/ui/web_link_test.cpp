#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ui/web_link.h"

namespace {

TEST(WebLink, OnlyHttpAndHttpsAddressesCount) {
  struct Case {
    const char* link;
    bool web;
  } cases[] = {
      {"http://www.quellton.example/", true},
      {"https://www.quellton.example/a?b=c", true},
      {"HTTP://A.EXAMPLE", true},
      {"HtTpS://a.example", true},
      {"http://", true},
      {"", false},
      {"http", false},
      {"http:/a.example", false},
      {"https:", false},
      {"httpx://a.example", false},
      {" http://a.example", false},
      {"ftp://a.example", false},
      {"file:///C:/Windows/notepad.exe", false},
      {"javascript:alert(1)", false},
      {"C:\\Windows\\system32\\calc.exe", false},
      {"\\\\host\\share\\run.exe", false},
      {"www.quellton.example", false},
      {"http://a.example/~x?y=1&z=%22#!", true},
      {"http://x/\" --flag", false},
      {"http://a.example/ x", false},
      {"http://a.example/ ", false},
      {"http://a.example/\t", false},
      {"http://a.example/\r\n", false},
      {"http://a.example/\x7f", false},
      {"http://a.example/\x01", false},
      {"http://a.example/\xb2\xe2", false},  // not ASCII
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << '"' << c.link << '"');
    EXPECT_EQ(IsWebAddress(c.link, std::strlen(c.link)), c.web);
  }
  EXPECT_FALSE(IsWebAddress("http://a\0b", 10)) << "a zero byte inside";
}

TEST(WebLink, TrailingWhiteSpaceIsCut) {
  struct Case {
    const char* text;
    const char* cut;
  } cases[] = {
      {"http://a/", "http://a/"}, {"http://a/ \t\r\n\v\f", "http://a/"},
      {" \t", ""},               {"", ""},
      {"a b ", "a b"},            {"\t x", "\t x"},
      {"http://a/\x7f ", "http://a/\x7f"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << '"' << c.text << '"');
    EXPECT_EQ(std::string(c.text, LengthWithoutTrailingSpace(c.text)), c.cut);
  }
}

}  // namespace
