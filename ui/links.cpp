#include "ui/main_window.h"

LRESULT MainWindow::OnOpenHomePage() { return 0; }
LRESULT MainWindow::OnBannerClicked() { return 0; }
