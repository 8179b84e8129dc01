#pragma once

#include "res/resource.h"

// Creates the main window, runs the UI thread's message loop and returns the
// process exit code: the quit code, or 0 when the window cannot be created.
// The template is a parameter only so that tests can make creation fail.
int RunApplication(int showCommand, int templateId = IDD_MAIN);
