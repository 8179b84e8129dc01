// Which links the program hands to the shell.
#pragma once

// True for an http:// or https:// address, the scheme in any letter case.
// Anything else (a program path, a share, file:, script) could run code on a
// click, and a link that comes off the network must never do that.
bool IsWebAddress(const char* link);
