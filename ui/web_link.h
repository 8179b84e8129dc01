// Which links the program hands to the shell.
#pragma once
#include <cstddef>

// True for an http:// or https:// address, the scheme in any letter case,
// followed by printable ASCII only, with no blank and no double quote.
// Anything else could run code on a click (a program path, a share, file:,
// script), and a blank, quote or control byte could carry more switches onto
// the browser's command line; a link that comes off the network must never
// do that.
bool IsWebAddress(const char* link, std::size_t length);

// The length of the text without the white space (blank, tab, CR, LF, VT,
// FF) at its end.
std::size_t LengthWithoutTrailingSpace(const char* text);
