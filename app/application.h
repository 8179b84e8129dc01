#pragma once

// Creates the main window, runs the UI thread's message loop and returns the
// process exit code: the quit code, or 0 when the window cannot be created.
int RunApplication(int showCommand);
