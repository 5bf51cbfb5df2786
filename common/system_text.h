// The system's text for a Win32 status, for a line that goes on after it.
// Any thread.
#pragma once

#include <windows.h>

#define SYSTEM_TEXT_UNITS 256

// Writes the system's text for `error` into `text` (`units` units, cut to
// fit), without the line break that ends it, or "no description available"
// when the system has none. Inserts such as %1 are left as they stand.
void FormatSystemText(DWORD error, WCHAR* text, size_t units);
