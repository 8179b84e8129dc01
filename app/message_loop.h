// The UI thread's message loop with its pre-translation filters and idle
// handlers.
#pragma once
#include <windows.h>

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

// A growing list of pointers that reports a failed allocation instead of
// throwing: the program is built without exceptions.
template <typename T>
class PointerList {
public:
  PointerList() = default;
  PointerList(const PointerList&) = delete;
  PointerList& operator=(const PointerList&) = delete;
  ~PointerList() { HeapFree(GetProcessHeap(), 0, items_); }

  bool Add(T* item) {
    if (count_ == capacity_) {
      int capacity = capacity_ == 0 ? 4 : capacity_ * 2;
      SIZE_T bytes = sizeof(T*) * static_cast<SIZE_T>(capacity);
      void* grown = items_ == nullptr ? HeapAlloc(GetProcessHeap(), 0, bytes)
                                      : HeapReAlloc(GetProcessHeap(), 0, items_, bytes);
      if (grown == nullptr) return false;
      items_ = static_cast<T**>(grown);
      capacity_ = capacity;
    }
    items_[count_++] = item;
    return true;
  }
  int size() const { return count_; }
  T* operator[](int index) const { return items_[index]; }

private:
  T** items_ = nullptr;
  int count_ = 0;
  int capacity_ = 0;
};

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
  PointerList<MessageFilter> filters_;
  PointerList<IdleHandler> idleHandlers_;
};
