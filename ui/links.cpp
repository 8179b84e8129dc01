// The two link labels and the tray menu's home page item.
#include <cstring>

#include "ui/main_window.h"
#include "ui/web_link.h"

// The shell's result is not examined: it reports its own failures, and the
// program has nothing to add.

LRESULT MainWindow::OnOpenHomePage() {
  calls.shellExecute(hwnd, "open", homeLink, nullptr, nullptr, SW_SHOW);
  return 0;
}

LRESULT MainWindow::OnBannerClicked() {
  // The banner's link comes over plain HTTP: only a web address is opened.
  // Blanks before the banner's tab are no part of it.
  char link[kBannerLinkSize];
  std::size_t length = LengthWithoutTrailingSpace(bannerLink);
  std::memcpy(link, bannerLink, length);
  link[length] = '\0';
  if (!IsWebAddress(link, length)) return 0;
  calls.shellExecute(hwnd, "open", link, nullptr, nullptr, SW_SHOW);
  return 0;
}
