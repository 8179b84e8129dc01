#include "app/newer_windows.h"

#include "sync/clock_math.h"

// Apart from the rest of newer_windows.cpp, so that the clock service, which
// needs only this, links none of the window's DLLs.
uint64_t TickCount64() {
  using GetTickCount64Fn = ULONGLONG(WINAPI*)();
  // GetProcAddress returns a generic function pointer; the system's
  // documentation fixes the real type.
  auto tick = reinterpret_cast<GetTickCount64Fn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount64")));
  if (tick != nullptr) return tick();
  // The system's count, not the window's: one last reading per process. The
  // 32-bit count merely widened would jump back by 2^32 at its wrap, and the
  // elapsed time across it would become about 2^64 ms.
  static uint64_t last = 0;
  last = ExtendTick(GetTickCount(), last);
  return last;
}
