#include "tests/support/message_boxes.h"

namespace {
MessageBoxRecorder* g_recorder = nullptr;
std::vector<RecordedBox>* g_sink = nullptr;
constexpr int kMessageBoxTextId = 0xFFFF;  // the static that holds the text
}  // namespace

MessageBoxRecorder::MessageBoxRecorder() {
  g_recorder = this;
  g_sink = &boxes_;
  hook_ = SetWindowsHookExA(WH_CBT, Hook, nullptr, GetCurrentThreadId());
}

MessageBoxRecorder::~MessageBoxRecorder() {
  if (hook_ != nullptr) UnhookWindowsHookEx(hook_);
  g_recorder = nullptr;
  g_sink = nullptr;
}

LRESULT CALLBACK MessageBoxRecorder::Hook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE && g_sink != nullptr) {
    HWND box = reinterpret_cast<HWND>(wParam);
    char className[16] = {};
    GetClassNameA(box, className, sizeof className);
    HWND textControl = GetDlgItem(box, kMessageBoxTextId);
    if (lstrcmpA(className, "#32770") == 0 && textControl != nullptr) {
      char text[2048] = {};
      char caption[512] = {};
      GetWindowTextA(textControl, text, sizeof text);
      GetWindowTextA(box, caption, sizeof caption);
      g_sink->push_back({text, caption});
      PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}
