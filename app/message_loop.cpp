#include "app/message_loop.h"

#include <new>

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

bool MessageLoop::AddMessageFilter(MessageFilter* filter) {
  try {
    filters_.push_back(filter);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool MessageLoop::AddIdleHandler(IdleHandler* handler) {
  try {
    idleHandlers_.push_back(handler);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

BOOL MessageLoop::PreTranslateMessage(MSG* message) {
  for (auto it = filters_.rbegin(); it != filters_.rend(); ++it) {
    if (*it != nullptr && (*it)->PreTranslateMessage(message)) return TRUE;
  }
  return FALSE;
}

BOOL MessageLoop::OnIdle(int) {
  for (IdleHandler* handler : idleHandlers_) {
    if (handler != nullptr) handler->OnIdle();
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
