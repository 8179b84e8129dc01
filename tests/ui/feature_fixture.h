// The real main window for the feature tests, created from its template as the
// program creates it, with the clock timer stopped so that no tick
// synchronises or moves the clock while a test runs.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/module.h"
#include "res/resource.h"
#include "settings/registry.h"
#include "tests/support/window_test.h"
#include "ui/main_window.h"

// Whether the control is shown, whatever its parent: the window of most tests
// is never shown (hiding a shown window costs Wine seconds without a window
// manager).
inline bool HasVisibleStyle(HWND window) {
  return (GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

class MainWindowTest : public testing::Test {
protected:
  void SetUp() override {
    WipeSettings();
    ASSERT_NE(window.Create(g_module.instance(), IDD_MAIN), nullptr);
    KillTimer(window.hwnd, CLOCK_TIMER);
    PumpMessages();
  }

  void TearDown() override {
    if (window.hwnd != nullptr) {
      window.DeleteTrayIcon();
      DestroyWindow(window.hwnd);
    }
    PumpMessages();
    WipeSettings();
  }

  MainWindow window;
};
