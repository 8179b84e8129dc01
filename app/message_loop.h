// The UI thread's message loop with its pre-translation filters and idle
// handlers.
#pragma once
#include <windows.h>
#include <vector>

class MessageFilter {
public:
  virtual BOOL PreTranslateMessage(MSG* msg) = 0;
};

class IdleHandler {
public:
  virtual BOOL OnIdle() = 0;
};

// True when a message re-arms idle processing. Paint and mouse-move traffic
// does not, so moving the mouse over the window costs no idle work.
bool RearmsIdle(UINT message);

class MessageLoop {
public:
  virtual ~MessageLoop() = default;

  // Both return false only when memory runs out.
  bool AddMessageFilter(MessageFilter* filter);
  bool AddIdleHandler(IdleHandler* handler);

  // Runs until WM_QUIT and returns its wParam.
  int Run();

  // Last registered filter first; true when one consumed the message.
  virtual BOOL PreTranslateMessage(MSG* msg);
  // Every idle handler in registration order; always false, so idle work
  // runs once per burst of messages and never spins.
  virtual BOOL OnIdle(int idleCount);

  MSG msg{};

private:
  std::vector<MessageFilter*> filters_;
  std::vector<IdleHandler*> idleHandlers_;
};
