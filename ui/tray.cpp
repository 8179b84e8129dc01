// The notification-area icon that stands in for the minimised window, and
// its menu.
#include "app/module.h"
#include "res/resource.h"
#include "res/texts.h"
#include "ui/main_window.h"

namespace {

// The first version of the record: every shell since the oldest accepts it.
constexpr DWORD kTrayRecordSize = NOTIFYICONDATAA_V1_SIZE;
static_assert(kTrayRecordSize == (sizeof(void*) == 4 ? 88 : 104),
              "the first notify-icon record is 88 bytes (104 in a 64-bit build)");

NOTIFYICONDATAA TrayRecord(HWND window) {
  NOTIFYICONDATAA record{};
  record.cbSize = kTrayRecordSize;
  record.hWnd = window;
  record.uID = TRAY_ICON_ID;
  return record;
}

}  // namespace

LRESULT MainWindow::OnSize(WPARAM sizeType) {
  if (sizeType != SIZE_MINIMIZED) return 0;
  NOTIFYICONDATAA record = TrayRecord(hwnd);
  record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  record.uCallbackMessage = WM_TRAYNOTIFY;
  record.hIcon = LoadIconA(g_module.instance(), MAKEINTRESOURCEA(IDI_MAIN));
  lstrcpynA(record.szTip, kTextTrayTip, 64);
  // Not checked: without a notification area the window still hides, and an
  // icon left over from the alarm's restore simply stays.
  calls.shellNotifyIcon(NIM_ADD, &record);
  ShowWindow(hwnd, SW_HIDE);
  return 0;
}

LRESULT MainWindow::OnTrayNotify(LPARAM mouseMessage) {
  switch (mouseMessage) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      // Posted, so the restore runs as an ordinary command after the shell's
      // notification has returned.
      PostMessageA(hwnd, WM_COMMAND, ID_RESTORE_WINDOW, 0);
      break;
    case WM_RBUTTONDOWN: {
      HMENU menu = LoadMenuA(g_module.instance(), MAKEINTRESOURCEA(IDR_TRAY_MENU));
      if (menu == nullptr) break;
      POINT point{};
      GetCursorPos(&point);
      // The chosen item arrives as WM_COMMAND after the menu has closed.
      TrackPopupMenu(GetSubMenu(menu, 0), TPM_RIGHTBUTTON, point.x, point.y, 0, hwnd,
                     nullptr);
      DestroyMenu(menu);
      break;
    }
    default:
      break;
  }
  return 0;
}

LRESULT MainWindow::OnRestoreWindow() {
  DeleteTrayIcon();
  SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW);
  ShowWindow(hwnd, SW_SHOWNORMAL);
  return 0;
}

void MainWindow::DeleteTrayIcon() {
  NOTIFYICONDATAA record = TrayRecord(hwnd);
  // Fails harmlessly when there is no icon (a second restore, a close from
  // the shown window).
  calls.shellNotifyIcon(NIM_DELETE, &record);
}
