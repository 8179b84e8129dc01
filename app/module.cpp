#include "app/module.h"

#include <new>

AppModule g_module;

void AppModule::Init(HINSTANCE instance) {
  instance_ = instance;
  mainThreadId_ = GetCurrentThreadId();
  InitializeCriticalSection(&loopLock_);
  InitializeCriticalSection(&createLock_);
  loops_ = nullptr;
  pending_ = nullptr;
  initialised_ = true;
}

void AppModule::Term() {
  if (!initialised_) return;
  while (loops_ != nullptr) {
    LoopRecord* next = loops_->next;
    delete loops_;
    loops_ = next;
  }
  while (pending_ != nullptr) {
    Pending* next = pending_->next;
    delete pending_;
    pending_ = next;
  }
  DeleteCriticalSection(&createLock_);
  DeleteCriticalSection(&loopLock_);
  initialised_ = false;
}

bool AppModule::AddMessageLoop(MessageLoop* loop) {
  if (!initialised_) return false;
  DWORD thread = GetCurrentThreadId();
  EnterCriticalSection(&loopLock_);
  bool ok = true;
  LoopRecord* record = loops_;
  while (record != nullptr && record->threadId != thread) record = record->next;
  if (record != nullptr) {
    record->loop = loop;
  } else {
    record = new (std::nothrow) LoopRecord{thread, loop, loops_};
    if (record != nullptr) {
      loops_ = record;
    } else {
      ok = false;
    }
  }
  LeaveCriticalSection(&loopLock_);
  return ok;
}

void AppModule::RemoveMessageLoop() {
  if (!initialised_) return;
  DWORD thread = GetCurrentThreadId();
  EnterCriticalSection(&loopLock_);
  for (LoopRecord** link = &loops_; *link != nullptr; link = &(*link)->next) {
    if ((*link)->threadId == thread) {
      LoopRecord* found = *link;
      *link = found->next;
      delete found;
      break;
    }
  }
  LeaveCriticalSection(&loopLock_);
}

MessageLoop* AppModule::GetMessageLoop(DWORD threadId) {
  if (!initialised_) return nullptr;
  EnterCriticalSection(&loopLock_);
  MessageLoop* loop = nullptr;
  for (LoopRecord* record = loops_; record != nullptr; record = record->next) {
    if (record->threadId == threadId) {
      loop = record->loop;
      break;
    }
  }
  LeaveCriticalSection(&loopLock_);
  return loop;
}

void AppModule::AddCreateWindowData(DialogWindow* window) {
  Pending* record = new (std::nothrow) Pending{GetCurrentThreadId(), window, nullptr};
  if (record == nullptr) return;
  EnterCriticalSection(&createLock_);
  record->next = pending_;
  pending_ = record;
  LeaveCriticalSection(&createLock_);
}

DialogWindow* AppModule::ExtractCreateWindowData() {
  DWORD thread = GetCurrentThreadId();
  DialogWindow* window = nullptr;
  EnterCriticalSection(&createLock_);
  for (Pending** link = &pending_; *link != nullptr; link = &(*link)->next) {
    if ((*link)->threadId == thread) {
      Pending* found = *link;
      *link = found->next;
      window = found->window;
      delete found;
      break;
    }
  }
  LeaveCriticalSection(&createLock_);
  return window;
}

bool AppModule::RemoveCreateWindowData(DialogWindow* window) {
  DWORD thread = GetCurrentThreadId();
  bool removed = false;
  EnterCriticalSection(&createLock_);
  for (Pending** link = &pending_; *link != nullptr; link = &(*link)->next) {
    if ((*link)->threadId == thread && (*link)->window == window) {
      Pending* found = *link;
      *link = found->next;
      delete found;
      removed = true;
      break;
    }
  }
  LeaveCriticalSection(&createLock_);
  return removed;
}
