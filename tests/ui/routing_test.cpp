// The main window's routing table and keyboard interface, driven through the
// real window: which messages and notification codes reach a handler, Enter
// on the focused "校对" button, and every way of closing with exit code 2.
#include "tests/ui/window_fixture.h"

#include <string>
#include <vector>

#include "app/message_loop.h"
#include "res/resource.h"

namespace {

struct Seen {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  bool handled;
};

// The real window with a note of every message its routing table was asked
// about and whether a handler took it.
class RecordingWindow : public MainWindow {
public:
  bool RouteMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                    LRESULT& result) override {
    bool handled = MainWindow::RouteMessage(window, message, wParam, lParam, result);
    if (message == WM_COMMAND) commands.push_back({message, wParam, lParam, handled});
    return handled;
  }
  std::vector<Seen> commands;
};

class Routing : public WindowFixture<RecordingWindow> {};

// Runs the window's messages as the program's loop does, keyboard filter
// included, until the queue is empty.
void Pump(MessageLoop& loop) {
  MSG msg;
  for (int guard = 0; guard < 1000 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++guard) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    if (!loop.PreTranslateMessage(&msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
}

WPARAM Command(int id, int code) { return MAKEWPARAM(id, code); }

}  // namespace

TEST_F(Routing, UnroutedMessagesGetDefaultProcessing) {
  struct Case {
    const char* name;
    UINT message;
    WPARAM wParam;
  };
  const Case cases[] = {
      {"double click on the zone link", WM_COMMAND, Command(IDC_ZONE_LINK, STN_DBLCLK)},
      {"double click on the banner", WM_COMMAND, Command(IDC_BANNER, STN_DBLCLK)},
      {"double click on the cancel link", WM_COMMAND, Command(IDC_LABEL, STN_DBLCLK)},
      {"double click on the unit link", WM_COMMAND, Command(IDC_UNIT, STN_DBLCLK)},
      {"double click on the save link", WM_COMMAND, Command(IDC_INTERVAL_SAVE, STN_DBLCLK)},
      {"zone link enabled", WM_COMMAND, Command(IDC_ZONE_LINK, STN_ENABLE)},
      {"check box double click", WM_COMMAND, Command(IDC_AUTOSTART, BN_DOUBLECLICKED)},
      {"check box focus", WM_COMMAND, Command(IDC_AUTOSTART, BN_SETFOCUS)},
      {"typing in the alarm hour", WM_COMMAND, Command(IDC_ALARM_HOUR, EN_CHANGE)},
      {"alarm hour losing focus", WM_COMMAND, Command(IDC_ALARM_HOUR, EN_KILLFOCUS)},
      {"focusing the interval", WM_COMMAND, Command(IDC_INTERVAL, EN_SETFOCUS)},
      {"interval update", WM_COMMAND, Command(IDC_INTERVAL, EN_UPDATE)},
      {"typing in the alarm minute", WM_COMMAND, Command(IDC_ALARM_MINUTE, EN_CHANGE)},
      {"focusing the alarm minute", WM_COMMAND, Command(IDC_ALARM_MINUTE, EN_SETFOCUS)},
      {"IDOK", WM_COMMAND, Command(IDOK, BN_CLICKED)},
      {"date line", WM_COMMAND, Command(IDC_DATE, STN_CLICKED)},
      {"time line", WM_COMMAND, Command(IDC_TIME, STN_CLICKED)},
      {"fetch count", WM_COMMAND, Command(IDC_FETCH_COUNT, STN_CLICKED)},
      {"status line", WM_COMMAND, Command(IDC_STATUS, STN_CLICKED)},
      {"unknown command", WM_COMMAND, Command(4242, 0)},
      {"right button", WM_RBUTTONDOWN, 0},
      {"left button up", WM_LBUTTONUP, 0},
      {"mouse move", WM_MOUSEMOVE, 0},
      {"close", WM_CLOSE, 0},
      {"one past the tray message", WM_TRAYNOTIFY + 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LRESULT result = 0xdeadbeef;
    EXPECT_FALSE(w.RouteMessage(w.hwnd, c.message, c.wParam, 0, result));
    EXPECT_EQ(result, static_cast<LRESULT>(0xdeadbeef)) << "no handler ran";
  }
  EXPECT_TRUE(boxes->boxes().empty());
  EXPECT_EQ(g_shellExecuteCalls, 0);
}

TEST_F(Routing, RoutedMessagesReachAHandlerThatReturnsZero) {
  struct Case {
    const char* name;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
  };
  const Case cases[] = {
      {"tray mouse move", WM_TRAYNOTIFY, 128, WM_MOUSEMOVE},
      {"size restored", WM_SIZE, SIZE_RESTORED, MAKELPARAM(574, 346)},
      {"left button on the window", WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5)},
      {"restore from the menu", WM_COMMAND, Command(ID_RESTORE_WINDOW, 0), 0},
      {"restore with any code", WM_COMMAND, Command(ID_RESTORE_WINDOW, 0x1234), 0},
      {"home page from the menu", WM_COMMAND, Command(ID_HOME_PAGE, 0), 0},
      {"home page with any code", WM_COMMAND, Command(ID_HOME_PAGE, 1), 0},
      {"zone link click", WM_COMMAND, Command(IDC_ZONE_LINK, STN_CLICKED), 0},
      {"cancel link click", WM_COMMAND, Command(IDC_LABEL, STN_CLICKED), 0},
      {"banner click", WM_COMMAND, Command(IDC_BANNER, STN_CLICKED), 0},
      {"alarm hour focus", WM_COMMAND, Command(IDC_ALARM_HOUR, EN_SETFOCUS), 0},
      {"interval typing", WM_COMMAND, Command(IDC_INTERVAL, EN_CHANGE), 0},
      {"unit link click", WM_COMMAND, Command(IDC_UNIT, STN_CLICKED), 0},
      {"unit link click back", WM_COMMAND, Command(IDC_UNIT, STN_CLICKED), 0},
      {"save link click", WM_COMMAND, Command(IDC_INTERVAL_SAVE, STN_CLICKED), 0},
      {"check box click", WM_COMMAND, Command(IDC_AUTOSTART, BN_CLICKED), 0},
      {"check box click back", WM_COMMAND, Command(IDC_AUTOSTART, BN_CLICKED), 0},
      {"sync button", WM_COMMAND, Command(IDC_SYNC_NOW, BN_CLICKED), 0},
      {"sync with any code", WM_COMMAND, Command(IDC_SYNC_NOW, 7), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LRESULT result = 0xdeadbeef;
    EXPECT_TRUE(w.RouteMessage(w.hwnd, c.message, c.wParam, c.lParam, result));
    EXPECT_EQ(result, 0);
    ASSERT_TRUE(IsWindow(w.hwnd));
  }
}

TEST_F(Routing, AnyTimerIdReachesTheClockHandler) {
  for (UINT_PTR id : {CLOCK_TIMER, static_cast<UINT_PTR>(77)}) {
    SCOPED_TRACE(id);
    // Neither a synchronisation nor a banner tick.
    w.tickCounter = 2;
    LRESULT result = 0xdeadbeef;
    EXPECT_TRUE(w.RouteMessage(w.hwnd, WM_TIMER, id, 0, result));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(w.tickCounter, 3);
    KillTimer(w.hwnd, CLOCK_TIMER);
  }
}

TEST_F(Routing, RoutedMessageResultGoesThroughDialogMessageResult) {
  // A routed message: the dialog procedure stores the handler's 0 and
  // returns TRUE. An unrouted one leaves the stored result alone.
  constexpr LONG_PTR kSentinel = 0x0deadbef;
  SetWindowLongPtrA(w.hwnd, DWLP_MSGRESULT, kSentinel);
  EXPECT_EQ(DialogWindow::DialogProc(w.hwnd, WM_COMMAND, Command(IDC_INTERVAL, EN_CHANGE), 0),
            TRUE);
  EXPECT_EQ(GetWindowLongPtrA(w.hwnd, DWLP_MSGRESULT), 0);

  SetWindowLongPtrA(w.hwnd, DWLP_MSGRESULT, kSentinel);
  EXPECT_EQ(DialogWindow::DialogProc(w.hwnd, WM_COMMAND, Command(IDC_ZONE_LINK, STN_DBLCLK),
                                     0),
            FALSE);
  EXPECT_EQ(GetWindowLongPtrA(w.hwnd, DWLP_MSGRESULT), kSentinel);

  // Through the dialog manager, as a control's notification arrives.
  EXPECT_EQ(SendMessageA(w.hwnd, WM_COMMAND, Command(IDC_INTERVAL, EN_CHANGE),
                         reinterpret_cast<LPARAM>(w.intervalEdit)),
            0);
}

TEST_F(Routing, LeftButtonOnTheWindowTakesTheFocusFromAnEdit) {
  ShowWindow(w.hwnd, SW_SHOW);
  SetForegroundWindow(w.hwnd);
  struct Case {
    const char* name;
    HWND MainWindow::*edit;
  };
  const Case cases[] = {{"alarm hour", &MainWindow::alarmHour},
                        {"alarm minute", &MainWindow::alarmMinute},
                        {"interval", &MainWindow::intervalEdit}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HWND edit = w.*c.edit;
    // A click into the field gives it the focus and the caret.
    SendMessageA(edit, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    SendMessageA(edit, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    ASSERT_EQ(GetFocus(), edit);
    // A click on the window's empty area takes it away again.
    SendMessageA(w.hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    HWND focus = GetFocus();
    EXPECT_NE(focus, edit);
    char className[16] = {};
    GetClassNameA(focus, className, sizeof className);
    EXPECT_NE(lstrcmpiA(className, "Edit"), 0) << "the caret moved to another field";
  }
}

TEST_F(Routing, EnterOnTheFocusedSyncButtonRunsSyncNow) {
  MessageLoop loop;
  ASSERT_TRUE(g_module.AddMessageLoop(&loop));
  // The window registers itself with the loop it finds at creation; this
  // one was made before the loop existed, so register it as OnInitDialog
  // would.
  loop.AddMessageFilter(&w);
  ShowWindow(w.hwnd, SW_SHOW);
  SetForegroundWindow(w.hwnd);
  SendMessageA(w.hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(w.syncButton), TRUE);
  ASSERT_EQ(GetFocus(), w.syncButton);
  w.commands.clear();

  PostMessageA(w.syncButton, WM_KEYDOWN, VK_RETURN, 0x001C0001);
  PostMessageA(w.syncButton, WM_KEYUP, VK_RETURN, 0xC01C0001);
  Pump(loop);
  g_module.RemoveMessageLoop();

  ASSERT_EQ(w.commands.size(), 1u);
  EXPECT_EQ(LOWORD(w.commands[0].wParam), IDC_SYNC_NOW);
  EXPECT_EQ(HIWORD(w.commands[0].wParam), BN_CLICKED);
  EXPECT_EQ(w.commands[0].lParam, reinterpret_cast<LPARAM>(w.syncButton));
  EXPECT_TRUE(w.commands[0].handled) << "routed to SyncNow";
  EXPECT_TRUE(IsWindow(w.hwnd));
}

TEST_F(Routing, EnterWithoutAFocusedButtonSendsUnroutedIdok) {
  MessageLoop loop;
  ASSERT_TRUE(g_module.AddMessageLoop(&loop));
  loop.AddMessageFilter(&w);
  ShowWindow(w.hwnd, SW_SHOW);
  SetForegroundWindow(w.hwnd);
  SendMessageA(w.hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(w.alarmHour), TRUE);
  ASSERT_EQ(GetFocus(), w.alarmHour);
  w.commands.clear();

  PostMessageA(w.alarmHour, WM_KEYDOWN, VK_RETURN, 0x001C0001);
  Pump(loop);
  g_module.RemoveMessageLoop();

  bool sawIdok = false;
  for (const Seen& s : w.commands) {
    EXPECT_NE(LOWORD(s.wParam), IDC_SYNC_NOW);
    if (LOWORD(s.wParam) == IDOK) {
      sawIdok = true;
      EXPECT_FALSE(s.handled) << "IDOK has no route";
    }
  }
  EXPECT_TRUE(sawIdok);
  EXPECT_TRUE(IsWindow(w.hwnd));
}

namespace {

// Ends a loop that would otherwise wait for ever.
void CALLBACK GiveUp(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  PostQuitMessage(99);
}

}  // namespace

TEST_F(Routing, EveryCloseGestureEndsTheLoopWithCodeTwo) {
  struct Case {
    const char* name;
    void (*gesture)(HWND window, HWND focus);
  };
  const Case cases[] = {
      {"Esc in an edit field",
       [](HWND, HWND focus) { PostMessageA(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001); }},
      {"Alt+F4",
       [](HWND, HWND focus) { PostMessageA(focus, WM_SYSKEYDOWN, VK_F4, 0x203E0001); }},
      {"close box", [](HWND window, HWND) { PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0); }},
      {"IDCANCEL with a code", [](HWND window, HWND) {
         PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, 1), 0);
       }},
  };
  // Each case closes a window of its own, made while the loop exists so that
  // OnInitDialog registers it as the loop's keyboard filter.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MessageLoop loop;
    ASSERT_TRUE(g_module.AddMessageLoop(&loop));
    RecordingWindow fresh;
    fresh.calls.setLocalTime = RecordSetLocalTime;
    fresh.calls.shellExecute = RecordShellExecute;
    ASSERT_NE(fresh.Create(g_module.instance(), IDD_MAIN), nullptr);
    KillTimer(fresh.hwnd, CLOCK_TIMER);
    lstrcpynA(fresh.serverHost, kFixtureServer, sizeof fresh.serverHost);
    HWND window = fresh.hwnd;
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    SendMessageA(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(fresh.alarmHour), TRUE);

    c.gesture(window, fresh.alarmHour);
    UINT_PTR guard = SetTimer(nullptr, 0, 10000, GiveUp);
    int code = loop.Run();
    KillTimer(nullptr, guard);
    g_module.RemoveMessageLoop();

    EXPECT_EQ(code, 2);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(fresh.hwnd, nullptr);
    if (IsWindow(window)) DestroyWindow(window);
  }
}
