// The Run value's text for this program's path.
#pragma once
#include <cstddef>

// The bytes LoadAutoStart reads of the stored value.
inline constexpr std::size_t kRunValueCapacity = 255;

// Writes the data to store into `data`: the path itself, or the path in
// double quotes when it contains a space, so that the system cannot start a
// program at a shorter path ("C:\Program.exe" for "C:\Program Files\...").
// Returns its length without the terminating zero, or -1 (and an empty
// text) when it needs more than `capacity` bytes with that zero. With
// kRunValueCapacity, data that is written can be read back whole: the
// system may store a zero after it. A value that could not would start the
// program at every logon while the box shows unchecked.
int RunValueForPath(const char* modulePath, char* data, std::size_t capacity);

// True when the stored text names this path, bare or quoted; exact and
// case-sensitive otherwise.
bool RunValueNamesPath(const char* stored, const char* modulePath);

// After a move, the data that makes an account's value start newProgram when
// it names oldProgram (bare or quoted; ASCII letters in either case, as
// Windows compares paths), written as RunValueForPath writes it. A value that
// names anything else is left alone: -1 (and `data` untouched), as when the
// new data needs more than `capacity` bytes with its zero.
int RepointRunValue(const char* stored, const char* oldProgram, const char* newProgram,
                    char* data, std::size_t capacity);
