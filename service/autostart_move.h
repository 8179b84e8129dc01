// After a move from the x86 install to this one: the start-with-Windows
// values that still name the removed program are made to start this folder's.
#pragma once
#include <windows.h>

// The program of this folder, oramet.exe beside oramet-clock.exe, takes the
// place of oldProgram in the Run value of the current user and of every
// account whose hive is loaded and may be written (all of them for the setup
// program, the user's own at a logon). A value naming anything else stays.
// ERROR_SUCCESS, or the system error that kept it from looking at all.
DWORD MoveAutoStart(const char* oldProgram);
