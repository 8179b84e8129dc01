#include <windows.h>

#include "app/application.h"
#include "app/module.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // The show command the process was started with; the command line is not
  // read.
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  GetStartupInfoA(&startup);
  int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;

  g_module.Init(instance);
  int exitCode = RunApplication(show);
  g_module.Term();
  return exitCode;
}
