// What only newer Windows versions have. Each function is looked up when it
// is called, so that the program still starts on Windows Vista and 7, and
// each wrapper says what stands in for it where it is missing.
#pragma once
#include <windows.h>

#include <cstdint>

// Messages the headers declare only for newer targets than this program's.
inline constexpr UINT kWmDpiChanged = 0x02E0;        // Windows 8.1
inline constexpr UINT kWmGetDpiScaledSize = 0x02E4;  // Windows 10 1703

// Dots per inch of the monitor the window is on (Windows 10 1607). Before
// that, the system's resolution, which is what the window is drawn at there
// until a WM_DPICHANGED says otherwise.
int32_t WindowDpi(HWND window);

// A system metric at the given resolution (Windows 10 1607). Before that,
// the metric at the system's resolution, scaled to the given one.
int SystemMetricForDpi(int index, int32_t dpi);

// Takes over the rescaling of a dialog on a DPI change (Windows 10 1703):
// the dialog manager would otherwise move the controls and swap their fonts
// by rules of its own. Older versions have no such rescaling.
void KeepDialogScalingOwn(HWND dialog);

// Milliseconds since the system started, in 64 bits (Vista), so that it
// never wraps. Where it is missing (XP), the 32-bit count carried on past
// its wrap every 49.7 days; two readings are compared right when no whole
// wrap passes between them unread, which the live clock's tick of every
// second ensures while it runs. Called on one thread only: the window's, or
// the clock service's exchange thread.
uint64_t TickCount64();
