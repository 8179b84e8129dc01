// snprintf for the program's own formats (%d, %02d, %s): the result is the
// full length of the text, and the buffer holds as much as fits, always
// terminated when `capacity` is not 0.
//
// On Windows this is the system C library's formatting: for C++, mingw-w64
// otherwise links its own standards-conforming printf, with the
// floating-point conversions the program never uses, into the program.
#pragma once
#include <cstddef>

int FormatText(char* buffer, std::size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
