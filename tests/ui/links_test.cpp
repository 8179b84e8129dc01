#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/ui/feature_fixture.h"
#include "ui/web_link.h"

namespace {

// Stands in for the shell so that no test ever launches anything.
struct ShellCall {
  HWND owner;
  std::string operation;
  std::string file;
  bool parameters;
  bool directory;
  INT show;
};
std::vector<ShellCall> g_shellCalls;

HINSTANCE WINAPI RecordShellExecute(HWND owner, LPCSTR operation, LPCSTR file,
                                    LPCSTR parameters, LPCSTR directory, INT show) {
  g_shellCalls.push_back({owner, operation != nullptr ? operation : "(null)",
                          file != nullptr ? file : "(null)", parameters != nullptr,
                          directory != nullptr, show});
  return reinterpret_cast<HINSTANCE>(2);  // "file not found": must change nothing
}

class LinksTest : public MainWindowTest {
protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    g_shellCalls.clear();
    window.calls.shellExecute = RecordShellExecute;
  }
  void ExpectOpened(const std::string& link) {
    ASSERT_EQ(g_shellCalls.size(), 1u);
    const ShellCall& call = g_shellCalls[0];
    EXPECT_EQ(call.owner, window.hwnd);
    EXPECT_EQ(call.operation, "open");
    EXPECT_EQ(call.file, link);
    EXPECT_FALSE(call.parameters);
    EXPECT_FALSE(call.directory);
    EXPECT_EQ(call.show, SW_SHOW);
    g_shellCalls.clear();
  }
};

TEST_F(LinksTest, HomePageIsAWebAddress) {
  EXPECT_TRUE(IsWebAddress(window.homeLink, std::strlen(window.homeLink))) << window.homeLink;
}

TEST_F(LinksTest, ZoneLinkClickAndTrayItemOpenTheHomePage) {
  SendCommand(window.hwnd, IDC_ZONE_LINK, STN_CLICKED, window.zoneLink);
  ExpectOpened(window.homeLink);
  // From the menu (code 0) and from an accelerator (code 1).
  SendCommand(window.hwnd, ID_HOME_PAGE, 0);
  ExpectOpened(window.homeLink);
  SendCommand(window.hwnd, ID_HOME_PAGE, 1);
  ExpectOpened(window.homeLink);
}

TEST_F(LinksTest, OtherZoneLinkNotificationsOpenNothing) {
  for (int code : {STN_DBLCLK, STN_ENABLE, STN_DISABLE}) {
    SCOPED_TRACE(code);
    SendCommand(window.hwnd, IDC_ZONE_LINK, code, window.zoneLink);
    EXPECT_TRUE(g_shellCalls.empty());
  }
}

TEST_F(LinksTest, HomePageFromTheTrayLeavesTheWindowHidden) {
  ShowWindow(window.hwnd, SW_MINIMIZE);
  ASSERT_FALSE(IsWindowVisible(window.hwnd));
  SendCommand(window.hwnd, ID_HOME_PAGE, 0);
  PumpMessages();
  ExpectOpened(window.homeLink);
  EXPECT_FALSE(IsWindowVisible(window.hwnd));
  EXPECT_TRUE(TrayIconPresent(window.hwnd));
}

TEST_F(LinksTest, BannerOpensOnlyWebAddresses) {
  struct Case {
    const char* link;
    const char* opened;  // nullptr: nothing
  } cases[] = {
      {"http://www.quellton.example/news", "http://www.quellton.example/news"},
      {"hTTpS://a.example/x?y=1", "hTTpS://a.example/x?y=1"},
      {"http://a.example/x \t\r\n", "http://a.example/x"},
      {"http://a.example/\" --flag", nullptr},
      {"", nullptr},
      {"C:\\Windows\\system32\\calc.exe", nullptr},
      {"\\\\host\\share\\setup.exe", nullptr},
      {"file:///C:/Windows/notepad.exe", nullptr},
      {"javascript:alert(1)", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << '"' << c.link << '"');
    lstrcpynA(window.bannerLink, c.link, sizeof window.bannerLink);
    SendCommand(window.hwnd, IDC_BANNER, STN_CLICKED, window.banner);
    if (c.opened != nullptr) {
      ExpectOpened(c.opened);
    } else {
      EXPECT_TRUE(g_shellCalls.empty());
    }
    g_shellCalls.clear();
  }
}

TEST_F(LinksTest, BannerOpensTheLinkHeldAtTheClick) {
  lstrcpynA(window.bannerLink, "http://a.example/1", sizeof window.bannerLink);
  SendCommand(window.hwnd, IDC_BANNER, STN_CLICKED, window.banner);
  ExpectOpened("http://a.example/1");
  lstrcpynA(window.bannerLink, "http://a.example/2", sizeof window.bannerLink);
  SendCommand(window.hwnd, IDC_BANNER, STN_CLICKED, window.banner);
  ExpectOpened("http://a.example/2");
}

TEST_F(LinksTest, OtherBannerNotificationsOpenNothing) {
  lstrcpynA(window.bannerLink, "http://a.example/", sizeof window.bannerLink);
  SendCommand(window.hwnd, IDC_BANNER, STN_DBLCLK, window.banner);
  EXPECT_TRUE(g_shellCalls.empty());
}

}  // namespace
