#include "app/application.h"

#include <memory>
#include <new>

#include "app/message_loop.h"
#include "app/module.h"
#include "res/resource.h"
#include "ui/main_window.h"

int RunApplication(int showCommand, int templateId) {
  MessageLoop loop;
  g_module.AddMessageLoop(&loop);

  int exitCode = 0;
  std::unique_ptr<MainWindow> window(new (std::nothrow) MainWindow);
  if (window != nullptr && window->Create(g_module.instance(), templateId) != nullptr) {
    ShowWindow(window->hwnd, showCommand);
    exitCode = loop.Run();
  }
  // Also after a failed creation: the loop dies with this frame and must not
  // stay reachable from the registry.
  g_module.RemoveMessageLoop();
  return exitCode;
}
