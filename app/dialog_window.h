// A modeless dialog bound to a C++ object: every message of the window,
// the first one included, reaches the object's RouteMessage.
#pragma once
#include <windows.h>

class DialogWindow {
public:
  virtual ~DialogWindow() = default;

  // The routing table: sets result and returns true when a handler took the
  // message.
  virtual bool RouteMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                            LRESULT& result) = 0;
  virtual DLGPROC GetDialogProc();
  // Called after the window's last message (WM_NCDESTROY).
  virtual void OnFinalMessage(HWND window);

  // Creates the dialog from a template of the module; null on failure.
  HWND Create(HINSTANCE instance, int templateId, HWND parent = nullptr);

  HWND hwnd = nullptr;

  static INT_PTR CALLBACK StartDialogProc(HWND window, UINT message, WPARAM wParam,
                                          LPARAM lParam);
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam,
                                     LPARAM lParam);
};

// True for the messages whose result a dialog procedure returns itself
// instead of through DWL_MSGRESULT.
bool ReturnsResultDirectly(UINT message);
