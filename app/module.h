// Process-wide record of the application: module instance, the message loop
// of each UI thread and the windows being created.
#pragma once
#include <windows.h>

class MessageLoop;
class DialogWindow;

class AppModule {
public:
  void Init(HINSTANCE instance);
  void Term();

  HINSTANCE instance() const { return instance_; }
  DWORD mainThreadId() const { return mainThreadId_; }

  bool AddMessageLoop(MessageLoop* loop);
  void RemoveMessageLoop();
  MessageLoop* GetMessageLoop(DWORD threadId = GetCurrentThreadId());

  // A window object waits here between CreateDialogParam and its first
  // message, which takes it out again on the same thread.
  void AddCreateWindowData(DialogWindow* window);
  DialogWindow* ExtractCreateWindowData();
  // Takes out the record of a window whose creation failed before its first
  // message; false when there is none.
  bool RemoveCreateWindowData(DialogWindow* window);

private:
  struct LoopRecord {
    DWORD threadId;
    MessageLoop* loop;
    LoopRecord* next;
  };
  struct Pending {
    DWORD threadId;
    DialogWindow* window;
    Pending* next;
  };

  HINSTANCE instance_ = nullptr;
  DWORD mainThreadId_ = 0;
  bool initialised_ = false;
  CRITICAL_SECTION loopLock_{};
  CRITICAL_SECTION createLock_{};
  LoopRecord* loops_ = nullptr;  // one per UI thread, a handful at most
  Pending* pending_ = nullptr;  // newest first
};

extern AppModule g_module;
