#include "app/newer_windows.h"

#include "ui/dpi_scale.h"

namespace {

// The named function of a system library already loaded into every process,
// or null where this Windows lacks it.
template <class Function>
Function Find(const char* library, const char* name) {
  HMODULE module = GetModuleHandleA(library);
  if (module == nullptr) return nullptr;
  // GetProcAddress returns a generic function pointer; the caller names the
  // real type, which the system's documentation fixes.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

int32_t SystemDpi() {
  HDC screen = GetDC(nullptr);
  int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : kBaseDpi;
}

}  // namespace

int32_t WindowDpi(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  if (auto getDpi = Find<GetDpiForWindowFn>("user32.dll", "GetDpiForWindow")) {
    UINT dpi = getDpi(window);
    if (dpi > 0) return static_cast<int32_t>(dpi);
  }
  return SystemDpi();
}

int SystemMetricForDpi(int index, int32_t dpi) {
  using GetSystemMetricsForDpiFn = int(WINAPI*)(int, UINT);
  if (auto metric = Find<GetSystemMetricsForDpiFn>("user32.dll", "GetSystemMetricsForDpi")) {
    return metric(index, static_cast<UINT>(dpi));
  }
  return MulDiv(GetSystemMetrics(index), dpi, SystemDpi());
}

void KeepDialogScalingOwn(HWND dialog) {
  using SetDialogDpiChangeBehaviorFn =
      BOOL(WINAPI*)(HWND, DIALOG_DPI_CHANGE_BEHAVIORS, DIALOG_DPI_CHANGE_BEHAVIORS);
  if (auto set = Find<SetDialogDpiChangeBehaviorFn>("user32.dll", "SetDialogDpiChangeBehavior")) {
    // Not checked: it fails only for a window that is no dialog.
    set(dialog, DDC_DISABLE_ALL, DDC_DISABLE_ALL);
  }
}
