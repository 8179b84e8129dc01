#include "app/dialog_window.h"

#include "app/module.h"

bool ReturnsResultDirectly(UINT message) {
  switch (message) {
    case WM_INITDIALOG:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
    case WM_COMPAREITEM:
      return true;
    default:
      return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC;
  }
}

DLGPROC DialogWindow::GetDialogProc() { return DialogProc; }

void DialogWindow::OnFinalMessage(HWND) {}

HWND DialogWindow::Create(HINSTANCE instance, int templateId, HWND parent) {
  g_module.AddCreateWindowData(this);
  HWND window = CreateDialogParamA(instance, MAKEINTRESOURCEA(templateId), parent,
                                   StartDialogProc, 0);
  // A missing template fails before any message arrives; the record must not
  // be left for the next window of this thread to pick up.
  if (window == nullptr) g_module.RemoveCreateWindowData(this);
  return window;
}

INT_PTR CALLBACK DialogWindow::StartDialogProc(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
  DialogWindow* self = g_module.ExtractCreateWindowData();
  if (self == nullptr) return FALSE;
  self->hwnd = window;
  // The object pointer lives in the window's user slot; from now on the
  // object's own procedure gets every message.
  SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
  DLGPROC proc = self->GetDialogProc();
  SetWindowLongPtrA(window, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(proc));
  return proc(window, message, wParam, lParam);
}

INT_PTR CALLBACK DialogWindow::DialogProc(HWND window, UINT message, WPARAM wParam,
                                          LPARAM lParam) {
  auto* self = reinterpret_cast<DialogWindow*>(GetWindowLongPtrA(window, DWLP_USER));
  if (self == nullptr) return FALSE;
  LRESULT result = 0;
  if (self->RouteMessage(window, message, wParam, lParam, result)) {
    if (ReturnsResultDirectly(message)) return static_cast<INT_PTR>(result);
    SetWindowLongPtrA(window, DWLP_MSGRESULT, result);
    return TRUE;
  }
  if (message == WM_NCDESTROY) {
    HWND old = self->hwnd;
    self->hwnd = nullptr;
    SetWindowLongPtrA(window, DWLP_USER, 0);
    self->OnFinalMessage(old);
  }
  return FALSE;
}
