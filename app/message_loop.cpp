#include "app/message_loop.h"

bool RearmsIdle(UINT message) {
  switch (message) {
    case WM_PAINT:
    case WM_NCMOUSEMOVE:
    case 0x0118:  // the caret-blink timer message of the system
    case WM_MOUSEMOVE:
      return false;
    default:
      return true;
  }
}

bool MessageLoop::AddMessageFilter(MessageFilter* filter) { return filters_.Add(filter); }

bool MessageLoop::AddIdleHandler(IdleHandler* handler) { return idleHandlers_.Add(handler); }

BOOL MessageLoop::PreTranslateMessage(MSG* message) {
  for (int i = filters_.size() - 1; i >= 0; --i) {
    if (filters_[i] != nullptr && filters_[i]->PreTranslateMessage(message)) return TRUE;
  }
  return FALSE;
}

BOOL MessageLoop::OnIdle(int) {
  for (int i = 0; i < idleHandlers_.size(); ++i) {
    if (idleHandlers_[i] != nullptr) idleHandlers_[i]->OnIdle();
  }
  return FALSE;
}

int MessageLoop::Run() {
  bool idle = true;
  int idleCount = 0;
  for (;;) {
    while (idle && !PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
      if (!OnIdle(idleCount++)) idle = false;
    }
    BOOL r = GetMessageA(&msg, nullptr, 0, 0);
    if (r == -1) continue;  // nothing retrieved; wait for the next message
    if (r == 0) return static_cast<int>(msg.wParam);
    if (!PreTranslateMessage(&msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (RearmsIdle(msg.message)) {
      idle = true;
      idleCount = 0;
    }
  }
}
