// A real main window made from IDD_MAIN, with the clock timer stopped and
// every way out of the process fenced in: the settings keys wiped, the time
// server pointed at a loopback peer that hangs up at once, message boxes
// recorded and dismissed, the clock and the shell replaced by recorders.
#pragma once
#include <winsock2.h>

#include <gtest/gtest.h>

#include <memory>

#include "app/module.h"
#include "res/resource.h"
#include "tests/support/loopback_server.h"
#include "tests/support/message_boxes.h"
#include "tests/support/window_test.h"
#include "ui/main_window.h"

inline constexpr char kFixtureServer[] = "127.0.0.91";

inline int g_setLocalTimeCalls = 0;
inline int g_shellExecuteCalls = 0;

inline BOOL WINAPI RecordSetLocalTime(const SYSTEMTIME*) {
  ++g_setLocalTimeCalls;
  return TRUE;
}

inline HINSTANCE WINAPI RecordShellExecute(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT) {
  ++g_shellExecuteCalls;
  return reinterpret_cast<HINSTANCE>(42);
}

inline void SetServerValue(const char* host) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "SOFTWARE\\Velmora\\Adjust", &key), ERROR_SUCCESS);
  RegSetValueExA(key, "Server", 0, REG_SZ, reinterpret_cast<const BYTE*>(host),
                 static_cast<DWORD>(lstrlenA(host)));
  RegCloseKey(key);
}

// Creates the window in SetUp. Window is MainWindow or a test's subclass.
template <class Window>
class WindowFixture : public testing::Test {
protected:
  void SetUp() override {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    WipeSettings();
    SetServerValue(kFixtureServer);
    server = std::make_unique<LoopbackServer>(kFixtureServer,
                                              std::vector<ServerStep>{CloseAtOnce()});
    ASSERT_TRUE(server->listening());
    boxes = std::make_unique<MessageBoxRecorder>();
    g_setLocalTimeCalls = 0;
    g_shellExecuteCalls = 0;
    w.calls.setLocalTime = RecordSetLocalTime;
    w.calls.shellExecute = RecordShellExecute;
    ASSERT_NE(w.Create(g_module.instance(), IDD_MAIN), nullptr);
    timerWasArmed = KillTimer(w.hwnd, CLOCK_TIMER) != FALSE;
    lstrcpynA(w.serverHost, kFixtureServer, sizeof w.serverHost);
  }

  void TearDown() override {
    if (w.hwnd != nullptr) DestroyWindow(w.hwnd);
    boxes.reset();
    server.reset();
    WipeSettings();
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    EXPECT_EQ(g_setLocalTimeCalls, 0) << "no test here may reach the clock";
  }

  Window w;
  std::unique_ptr<LoopbackServer> server;
  std::unique_ptr<MessageBoxRecorder> boxes;
  bool timerWasArmed = false;
};

using MainWindowFixture = WindowFixture<MainWindow>;
