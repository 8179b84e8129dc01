// The two link labels and the tray menu's home page item.
#include "ui/main_window.h"
#include "ui/web_link.h"

// The shell's result is not examined: it reports its own failures, and the
// program has nothing to add.

LRESULT MainWindow::OnOpenHomePage() {
  calls.shellExecute(hwnd, "open", homeLink.c_str(), nullptr, nullptr, SW_SHOW);
  return 0;
}

LRESULT MainWindow::OnBannerClicked() {
  // The banner's link comes over plain HTTP: only a web address is opened.
  // Blanks before the banner's tab are no part of it.
  const std::string link = WithoutTrailingSpace(bannerLink.c_str());
  if (!IsWebAddress(link)) return 0;
  calls.shellExecute(hwnd, "open", link.c_str(), nullptr, nullptr, SW_SHOW);
  return 0;
}
