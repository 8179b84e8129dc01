#include "app/module.h"

#include <new>

AppModule g_module;

void AppModule::Init(HINSTANCE instance) {
  instance_ = instance;
  mainThreadId_ = GetCurrentThreadId();
  InitializeCriticalSection(&loopLock_);
  InitializeCriticalSection(&createLock_);
  loops_ = new (std::nothrow) std::map<DWORD, MessageLoop*>;
  pending_ = nullptr;
  initialised_ = true;
}

void AppModule::Term() {
  if (!initialised_) return;
  delete loops_;
  loops_ = nullptr;
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
  if (loops_ == nullptr) return false;
  EnterCriticalSection(&loopLock_);
  bool ok = true;
  try {
    (*loops_)[GetCurrentThreadId()] = loop;
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  LeaveCriticalSection(&loopLock_);
  return ok;
}

void AppModule::RemoveMessageLoop() {
  if (loops_ == nullptr) return;
  EnterCriticalSection(&loopLock_);
  loops_->erase(GetCurrentThreadId());
  LeaveCriticalSection(&loopLock_);
}

MessageLoop* AppModule::GetMessageLoop(DWORD threadId) {
  if (loops_ == nullptr) return nullptr;
  EnterCriticalSection(&loopLock_);
  auto it = loops_->find(threadId);
  MessageLoop* loop = it == loops_->end() ? nullptr : it->second;
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
