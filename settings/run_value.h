// The Run value's text for this program's path.
#pragma once
#include <cstddef>
#include <string>

// The bytes LoadAutoStart reads of the stored value.
inline constexpr size_t kRunValueCapacity = 255;

// The data to store: the path itself, or the path in double quotes when it
// contains a space, so that the system cannot start a program at a shorter
// path ("C:\Program.exe" for "C:\Program Files\...").
std::string RunValueForPath(const std::string& modulePath);

// True when the stored text names this path, bare or quoted; exact and
// case-sensitive otherwise.
bool RunValueNamesPath(const char* stored, const std::string& modulePath);

// True when the data can be read back whole: within the read's capacity
// even with the terminating zero byte the system may store after it. A value
// that cannot would start the program at every logon while the box shows
// unchecked.
bool RunValueFits(const std::string& data);
