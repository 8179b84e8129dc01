// Records and dismisses every message box raised on the test's thread, so
// that no modal box can hang a test.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

struct RecordedBox {
  std::string text;
  std::string caption;
};

class MessageBoxRecorder {
public:
  MessageBoxRecorder();
  ~MessageBoxRecorder();
  MessageBoxRecorder(const MessageBoxRecorder&) = delete;
  MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

  const std::vector<RecordedBox>& boxes() const { return boxes_; }
  void clear() { boxes_.clear(); }

private:
  static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam);
  HHOOK hook_ = nullptr;
  std::vector<RecordedBox> boxes_;
};
