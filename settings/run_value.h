// The Run value's text for this program's path.
#pragma once
#include <string>

// The data to store: the path itself, or the path in double quotes when it
// contains a space, so that the system cannot start a program at a shorter
// path ("C:\Program.exe" for "C:\Program Files\...").
std::string RunValueForPath(const std::string& modulePath);

// True when the stored text names this path, bare or quoted; exact and
// case-sensitive otherwise.
bool RunValueNamesPath(const char* stored, const std::string& modulePath);
