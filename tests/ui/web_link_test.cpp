#include <gtest/gtest.h>

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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << '"' << c.link << '"');
    EXPECT_EQ(IsWebAddress(c.link), c.web);
  }
}

}  // namespace
