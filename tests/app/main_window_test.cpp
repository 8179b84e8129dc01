#include <gtest/gtest.h>

#include "res/resource.h"
#include "res/texts.h"
#include "ui/main_window.h"
#include "app/module.h"

TEST(MainWindowSmoke, CreatesWithCaption) {
  MainWindow window;
  ASSERT_NE(window.Create(g_module.instance(), IDD_MAIN), nullptr);
  char caption[64] = {};
  GetWindowTextA(window.hwnd, caption, sizeof caption);
  EXPECT_STREQ(caption, kTextCaption);
  DestroyWindow(window.hwnd);
}
