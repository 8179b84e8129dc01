// The shell under Wine: message loop, filter and idle chains, the binding of
// a dialog to its object, the dispatch rules, the module's registries and the
// exit codes of RunApplication.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/application.h"
#include "app/dialog_window.h"
#include "app/message_loop.h"
#include "app/module.h"
#include "res/resource.h"
#include "res/texts.h"
#include "tests/support/loopback_server.h"
#include "tests/support/message_boxes.h"
#include "ui/main_window.h"

namespace {

constexpr int kMissingTemplate = 999;

// Removes whatever an earlier step left in this thread's queue (a WM_QUIT
// above all), so that every test starts from an empty queue.
void DrainQueue() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
}

// A dialog whose routing table is scripted by the test: it records every
// message that reaches it and answers the ones listed in `answers`.
class ScriptedDialog : public DialogWindow {
public:
  struct Answer {
    UINT message;
    LRESULT result;
  };

  bool RouteMessage(HWND window, UINT message, WPARAM, LPARAM, LRESULT& result) override {
    seen.push_back(message);
    if (seen.size() == 1) firstMessageHwnd = hwnd;
    EXPECT_EQ(window, hwnd) << "message " << message << " reached an unbound object";
    for (const Answer& answer : answers) {
      if (answer.message == message) {
        result = answer.result;
        return true;
      }
    }
    return false;
  }

  void OnFinalMessage(HWND window) override {
    finalHwnd = window;
    hwndAtFinal = hwnd;
  }

  std::vector<Answer> answers;
  std::vector<UINT> seen;
  HWND firstMessageHwnd = reinterpret_cast<HWND>(0xdeadbeef);
  HWND finalHwnd = reinterpret_cast<HWND>(0xdeadbeef);
  HWND hwndAtFinal = reinterpret_cast<HWND>(0xdeadbeef);
};

}  // namespace

// --- Binding a window to its object -------------------------------------

TEST(DialogBinding, FirstMessageAndAllLaterOnesReachTheObject) {
  ScriptedDialog dialog;
  HWND window = dialog.Create(g_module.instance(), IDD_MAIN);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(dialog.hwnd, window);
  ASSERT_FALSE(dialog.seen.empty());
  // The template has DS_SETFONT, so the font arrives before WM_INITDIALOG;
  // both must already find the handle stored in the object.
  EXPECT_EQ(dialog.seen.front(), static_cast<UINT>(WM_SETFONT));
  EXPECT_EQ(dialog.firstMessageHwnd, window);
  EXPECT_NE(std::find(dialog.seen.begin(), dialog.seen.end(), WM_INITDIALOG),
            dialog.seen.end());

  dialog.seen.clear();
  SendMessageA(window, WM_USER + 7, 0, 0);
  ASSERT_EQ(dialog.seen.size(), 1u);
  EXPECT_EQ(dialog.seen[0], static_cast<UINT>(WM_USER + 7));

  DestroyWindow(window);
  EXPECT_EQ(dialog.finalHwnd, window) << "the final hook gets the old handle";
  EXPECT_EQ(dialog.hwndAtFinal, nullptr) << "the handle is cleared before the hook";
  EXPECT_EQ(dialog.hwnd, nullptr);
  // The creation record was taken by the first message.
  EXPECT_EQ(g_module.ExtractCreateWindowData(), nullptr);
}

TEST(DialogBinding, MissingTemplateFailsAndLeavesNoPendingRecord) {
  ScriptedDialog dialog;
  EXPECT_EQ(dialog.Create(g_module.instance(), kMissingTemplate), nullptr);
  EXPECT_EQ(dialog.hwnd, nullptr);
  EXPECT_TRUE(dialog.seen.empty());
  EXPECT_EQ(g_module.ExtractCreateWindowData(), nullptr)
      << "a stale record would bind the next window to a dead object";
}

// --- Dispatch rules ------------------------------------------------------

TEST(DialogDispatch, DirectResultsVersusMessageResult) {
  struct Case {
    const char* name;
    UINT message;
    bool routed;
    bool direct;  // the result is the procedure's return value
  };
  const Case cases[] = {
      {"WM_INITDIALOG", WM_INITDIALOG, true, true},
      {"WM_VKEYTOITEM", WM_VKEYTOITEM, true, true},
      {"WM_CHARTOITEM", WM_CHARTOITEM, true, true},
      {"WM_QUERYDRAGICON", WM_QUERYDRAGICON, true, true},
      {"WM_COMPAREITEM", WM_COMPAREITEM, true, true},
      {"WM_CTLCOLORMSGBOX", WM_CTLCOLORMSGBOX, true, true},
      {"WM_CTLCOLOREDIT", WM_CTLCOLOREDIT, true, true},
      {"WM_CTLCOLORSTATIC", WM_CTLCOLORSTATIC, true, true},
      {"just below the colour range", WM_CTLCOLORMSGBOX - 1, true, false},
      {"just above the colour range", WM_CTLCOLORSTATIC + 1, true, false},
      {"WM_COMMAND", WM_COMMAND, true, false},
      {"WM_TIMER", WM_TIMER, true, false},
      {"WM_NOTIFY", WM_NOTIFY, true, false},
      {"unrouted WM_USER", WM_USER, false, false},
  };
  constexpr LRESULT kHandlerResult = 0x1234;
  constexpr LONG_PTR kSentinel = 0x0deadbef;

  ScriptedDialog dialog;
  HWND window = dialog.Create(g_module.instance(), IDD_MAIN);
  ASSERT_NE(window, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReturnsResultDirectly(c.message), c.direct);
    dialog.answers.clear();
    if (c.routed) dialog.answers.push_back({c.message, kHandlerResult});
    SetWindowLongPtrA(window, DWLP_MSGRESULT, kSentinel);
    // The object's procedure as the dialog manager calls it.
    INT_PTR returned = DialogWindow::DialogProc(window, c.message, 0, 0);
    LONG_PTR stored = GetWindowLongPtrA(window, DWLP_MSGRESULT);
    if (!c.routed) {
      EXPECT_EQ(returned, FALSE) << "unrouted: default dialog processing must run";
      EXPECT_EQ(stored, kSentinel);
    } else if (c.direct) {
      EXPECT_EQ(returned, kHandlerResult);
      EXPECT_EQ(stored, kSentinel) << "a direct result is not stored";
    } else {
      EXPECT_EQ(returned, TRUE);
      EXPECT_EQ(stored, kHandlerResult);
    }
  }
  DestroyWindow(window);
}

TEST(DialogDispatch, RoutedResultReachesTheSenderThroughTheDialogManager) {
  ScriptedDialog dialog;
  HWND window = dialog.Create(g_module.instance(), IDD_MAIN);
  ASSERT_NE(window, nullptr);
  dialog.answers.push_back({WM_USER + 3, 0x5151});
  EXPECT_EQ(SendMessageA(window, WM_USER + 3, 0, 0), 0x5151);
  EXPECT_EQ(GetWindowLongPtrA(window, DWLP_MSGRESULT), 0x5151);
  DestroyWindow(window);
}

// --- Module registries ---------------------------------------------------

TEST(AppModuleRegistry, PendingCreationsAreNewestFirstAndKeyedByThread) {
  ScriptedDialog older, newer, foreign;
  HANDLE added = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE checked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DialogWindow* foreignTaken = reinterpret_cast<DialogWindow*>(0xdeadbeef);
  DWORD foreignThread = 0;
  g_module.AddCreateWindowData(&older);
  std::thread other([&] {
    foreignThread = GetCurrentThreadId();
    g_module.AddCreateWindowData(&foreign);
    SetEvent(added);
    WaitForSingleObject(checked, 10000);
    foreignTaken = g_module.ExtractCreateWindowData();
  });
  WaitForSingleObject(added, 10000);
  // The other thread's record is now the newest of all.
  g_module.AddCreateWindowData(&newer);

  EXPECT_EQ(g_module.ExtractCreateWindowData(), &newer);
  EXPECT_EQ(g_module.ExtractCreateWindowData(), &older);
  EXPECT_EQ(g_module.ExtractCreateWindowData(), nullptr)
      << "another thread's record must not be taken";
  EXPECT_FALSE(g_module.RemoveCreateWindowData(&foreign)) << "keyed by the creating thread";
  SetEvent(checked);
  other.join();
  EXPECT_NE(foreignThread, GetCurrentThreadId());
  EXPECT_EQ(foreignTaken, &foreign);
  CloseHandle(added);
  CloseHandle(checked);
}

TEST(AppModuleRegistry, MessageLoopsAreKeyedByThread) {
  MessageLoop mine, theirs;
  ASSERT_EQ(g_module.GetMessageLoop(), nullptr);
  ASSERT_TRUE(g_module.AddMessageLoop(&mine));
  std::atomic<bool> checked{false};
  std::thread([&] {
    EXPECT_EQ(g_module.GetMessageLoop(), nullptr);
    EXPECT_TRUE(g_module.AddMessageLoop(&theirs));
    EXPECT_EQ(g_module.GetMessageLoop(), &theirs);
    g_module.RemoveMessageLoop();
    EXPECT_EQ(g_module.GetMessageLoop(), nullptr);
    checked = true;
  }).join();
  EXPECT_TRUE(checked.load());
  EXPECT_EQ(g_module.GetMessageLoop(), &mine);
  EXPECT_EQ(g_module.GetMessageLoop(g_module.mainThreadId()), &mine);
  g_module.RemoveMessageLoop();
  EXPECT_EQ(g_module.GetMessageLoop(), nullptr);
}

// --- Filter and idle chains ---------------------------------------------

namespace {

struct RecordingFilter : MessageFilter {
  RecordingFilter(int id, std::vector<int>& log, BOOL consume)
      : id(id), log(log), consume(consume) {}
  BOOL PreTranslateMessage(MSG*) override {
    log.push_back(id);
    return consume;
  }
  int id;
  std::vector<int>& log;
  BOOL consume;
};

struct RecordingIdle : IdleHandler {
  RecordingIdle(int id, std::vector<int>& log) : id(id), log(log) {}
  BOOL OnIdle() override {
    log.push_back(id);
    return TRUE;  // the chain must ignore this
  }
  int id;
  std::vector<int>& log;
};

}  // namespace

TEST(MessageLoopChains, FiltersRunLastRegisteredFirstAndStopWhenConsumed) {
  struct Case {
    const char* name;
    BOOL consume[3];
    std::vector<int> expectedOrder;
    BOOL expectedResult;
  };
  const Case cases[] = {
      {"nobody consumes", {FALSE, FALSE, FALSE}, {3, 2, 1}, FALSE},
      {"the newest consumes", {FALSE, FALSE, TRUE}, {3}, TRUE},
      {"the middle one consumes", {FALSE, TRUE, FALSE}, {3, 2}, TRUE},
      {"the oldest consumes", {TRUE, FALSE, FALSE}, {3, 2, 1}, TRUE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int> log;
    RecordingFilter f1(1, log, c.consume[0]), f2(2, log, c.consume[1]),
        f3(3, log, c.consume[2]);
    MessageLoop loop;
    ASSERT_TRUE(loop.AddMessageFilter(&f1));
    ASSERT_TRUE(loop.AddMessageFilter(nullptr));  // an empty slot is skipped
    ASSERT_TRUE(loop.AddMessageFilter(&f2));
    ASSERT_TRUE(loop.AddMessageFilter(&f3));
    MSG msg{};
    EXPECT_EQ(loop.PreTranslateMessage(&msg), c.expectedResult);
    EXPECT_EQ(log, c.expectedOrder);
  }
}

TEST(MessageLoopChains, IdleHandlersRunInRegistrationOrderAndTheChainEndsIdle) {
  std::vector<int> log;
  RecordingIdle h1(1, log), h2(2, log), h3(3, log);
  MessageLoop loop;
  loop.AddIdleHandler(&h1);
  loop.AddIdleHandler(nullptr);
  loop.AddIdleHandler(&h2);
  loop.AddIdleHandler(&h3);
  EXPECT_EQ(loop.OnIdle(0), FALSE);
  EXPECT_EQ(loop.OnIdle(5), FALSE);
  EXPECT_EQ(log, (std::vector<int>{1, 2, 3, 1, 2, 3}));
}

TEST(MessageLoopRun, ConsumedMessagesAreNotDispatched) {
  DrainQueue();
  ScriptedDialog dialog;
  HWND window = dialog.Create(g_module.instance(), IDD_MAIN);
  ASSERT_NE(window, nullptr);

  std::vector<int> log;
  struct ConsumeUser5 : MessageFilter {
    BOOL PreTranslateMessage(MSG* msg) override { return msg->message == WM_USER + 5; }
  } consumer;
  MessageLoop loop;
  loop.AddMessageFilter(&consumer);
  dialog.seen.clear();
  PostMessageA(window, WM_USER + 5, 0, 0);
  PostMessageA(window, WM_USER + 6, 0, 0);
  PostQuitMessage(41);
  EXPECT_EQ(loop.Run(), 41);
  EXPECT_EQ(std::count(dialog.seen.begin(), dialog.seen.end(), WM_USER + 5), 0);
  EXPECT_EQ(std::count(dialog.seen.begin(), dialog.seen.end(), WM_USER + 6), 1);
  DestroyWindow(window);
  DrainQueue();
}

TEST(MessageLoopRun, RearmRuleTable) {
  struct Case {
    UINT message;
    bool rearms;
  };
  const Case cases[] = {
      {WM_PAINT, false},   {WM_NCMOUSEMOVE, false}, {0x0118, false},
      {WM_MOUSEMOVE, false}, {WM_TIMER, true},      {WM_KEYDOWN, true},
      {WM_CHAR, true},     {WM_LBUTTONDOWN, true},  {WM_NCPAINT, true},
      {WM_MOUSEMOVE + 1, true}, {0x0117, true},     {0x0119, true},
      {WM_USER, true},     {WM_COMMAND, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(RearmsIdle(c.message), c.rearms);
  }
}

namespace {

// Records the loop's idle calls and the messages it takes, in one sequence:
// an idle call is recorded as -1 - idleCount.
class RecordingLoop : public MessageLoop {
public:
  BOOL PreTranslateMessage(MSG* msg) override {
    Record(static_cast<int>(msg->message));
    SetEvent(messageSeen);
    return MessageLoop::PreTranslateMessage(msg);
  }
  BOOL OnIdle(int idleCount) override {
    Record(-1 - idleCount);
    SetEvent(idleSeen);
    return MessageLoop::OnIdle(idleCount);
  }
  std::vector<int> Events() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }

  HANDLE messageSeen = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE idleSeen = CreateEventA(nullptr, FALSE, FALSE, nullptr);

private:
  void Record(int event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
  }
  std::mutex mutex;
  std::vector<int> events;
};

}  // namespace

TEST(MessageLoopRun, MouseAndPaintTrafficDoesNotRearmIdle) {
  DrainQueue();
  RecordingLoop loop;
  const DWORD loopThread = GetCurrentThreadId();
  constexpr DWORD kHangBound = 10000;
  constexpr int kIdle = -1;  // an idle call with idleCount 0

  struct Step {
    UINT message;
    bool rearms;
  };
  const Step steps[] = {
      {WM_MOUSEMOVE, false}, {WM_NCMOUSEMOVE, false}, {0x0118, false}, {WM_PAINT, false},
      {WM_USER, true},       {WM_MOUSEMOVE, false},   {WM_KEYDOWN, true}, {WM_TIMER, true},
  };
  std::vector<int> expected = {kIdle};
  for (const Step& s : steps) {
    expected.push_back(static_cast<int>(s.message));
    if (s.rearms) expected.push_back(kIdle);
  }

  std::atomic<bool> timedOut{false};
  std::thread driver([&] {
    auto wait = [&](HANDLE event) {
      if (WaitForSingleObject(event, kHangBound) != WAIT_OBJECT_0) timedOut = true;
    };
    wait(loop.idleSeen);  // the loop started idle
    for (const Step& s : steps) {
      if (timedOut) break;
      ResetEvent(loop.messageSeen);
      PostThreadMessageA(loopThread, s.message, 0, 0);
      if (s.rearms) {
        wait(loop.idleSeen);
      } else {
        wait(loop.messageSeen);
        // Give a wrongly re-armed loop the chance to run its idle chain
        // before the next message arrives.
        Sleep(100);
      }
    }
    PostThreadMessageA(loopThread, WM_QUIT, timedOut ? 99 : 7, 0);
  });
  int code = loop.Run();
  driver.join();
  EXPECT_EQ(code, 7) << "the driver gave up waiting for the loop";
  EXPECT_EQ(loop.Events(), expected);
  CloseHandle(loop.messageSeen);
  CloseHandle(loop.idleSeen);
  DrainQueue();
}

// --- RunApplication ------------------------------------------------------

namespace {

// Fires inside RunApplication's loop and closes the window as a user would.
HWND g_seenWindow = nullptr;
MessageLoop* g_seenLoop = nullptr;
void CALLBACK CloseMainWindow(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  g_seenLoop = g_module.GetMessageLoop();
  g_seenWindow = FindWindowA("#32770", kTextCaption);
  if (g_seenWindow != nullptr) {
    KillTimer(g_seenWindow, CLOCK_TIMER);
    PostMessageA(g_seenWindow, WM_COMMAND, IDCANCEL, 0);
  } else {
    PostQuitMessage(99);
  }
}

}  // namespace

TEST(RunApplicationExit, ZeroWhenTheWindowCannotBeCreated) {
  DrainQueue();
  EXPECT_EQ(RunApplication(SW_HIDE, kMissingTemplate), 0);
  EXPECT_EQ(g_module.GetMessageLoop(), nullptr) << "the loop must be unregistered";
  EXPECT_EQ(g_module.ExtractCreateWindowData(), nullptr);
  EXPECT_EQ(FindWindowA("#32770", kTextCaption), nullptr);
}

TEST(RunApplicationExit, TwoAfterTheCloseCommand) {
  DrainQueue();
  // Should a clock tick come first, its exchange stays on loopback and its
  // failure box is dismissed.
  LoopbackServer server("127.0.0.93", {CloseAtOnce()});
  ASSERT_TRUE(server.listening());
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "SOFTWARE\\Velmora\\Adjust", &key), ERROR_SUCCESS);
  RegSetValueExA(key, "Server", 0, REG_SZ, reinterpret_cast<const BYTE*>("127.0.0.93"), 10);
  MessageBoxRecorder boxes;

  g_seenWindow = nullptr;
  g_seenLoop = nullptr;
  UINT_PTR timer = SetTimer(nullptr, 0, 50, CloseMainWindow);
  ASSERT_NE(timer, 0u);
  int code = RunApplication(SW_HIDE);

  RegDeleteValueA(key, "Server");
  RegCloseKey(key);
  EXPECT_EQ(code, 2);
  ASSERT_NE(g_seenWindow, nullptr) << "the main window was not found while running";
  EXPECT_NE(g_seenLoop, nullptr) << "the loop was not registered while running";
  EXPECT_FALSE(IsWindow(g_seenWindow));
  EXPECT_EQ(g_module.GetMessageLoop(), nullptr);
  DrainQueue();
}
