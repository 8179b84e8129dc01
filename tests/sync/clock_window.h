// A real main window for the cycle tests: its own timer killed so that the
// test decides when a tick comes, the system clock replaced by a recorder,
// and the settings key wiped before and after.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/module.h"
#include "res/resource.h"
#include "settings/registry.h"
#include "tests/support/window_test.h"
#include "ui/main_window.h"

struct SetLocalTimeRecorder {
  static std::vector<SYSTEMTIME> calls;
  static BOOL result;
  static DWORD error;  // the last error a refusal leaves
  static BOOL WINAPI Record(const SYSTEMTIME* time) {
    calls.push_back(*time);
    if (!result) SetLastError(error);
    return result;
  }
};

inline std::string StoredCount() {
  char text[128] = {};
  DWORD size = sizeof text - 1;
  return RegReadString(kSettingsKey, "Count", text, size) == 0 ? text : "<none>";
}

inline SYSTEMTIME SentinelTime() {
  SYSTEMTIME time;
  std::memset(&time, 0xef, sizeof time);
  return time;
}

inline bool SameTime(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

class ClockWindow : public testing::Test {
protected:
  void SetUp() override {
    WipeSettings();
    SetLocalTimeRecorder::calls.clear();
    SetLocalTimeRecorder::result = TRUE;
    SetLocalTimeRecorder::error = ERROR_INVALID_PARAMETER;
    ASSERT_NE(window.Create(g_module.instance(), IDD_MAIN), nullptr);
    // No tick unless the test sends one.
    KillTimer(window.hwnd, CLOCK_TIMER);
    window.calls.setLocalTime = SetLocalTimeRecorder::Record;
    // Nothing listens here: a sync or banner fetch that a test does not
    // expect fails at once and never leaves the machine.
    lstrcpynA(window.serverHost, "127.0.0.89", sizeof window.serverHost);
  }

  void TearDown() override {
    if (window.hwnd != nullptr) DestroyWindow(window.hwnd);
    WipeSettings();
  }

  std::string Text(int id) {
    char text[256] = {};
    GetWindowTextA(GetDlgItem(window.hwnd, id), text, sizeof text);
    return text;
  }

  void SetText(int id, const char* text) { SetWindowTextA(GetDlgItem(window.hwnd, id), text); }

  void Tick() { SendMessageA(window.hwnd, WM_TIMER, CLOCK_TIMER, 0); }

  // Whether the tick left the timer armed (KillTimer fails on a missing one).
  bool TimerArmed() { return KillTimer(window.hwnd, CLOCK_TIMER) != 0; }

  MainWindow window;
};
