// The Save command of the Live Tracing window: every held line that passes
// the filters, as displayed, into a UTF-16LE text file. GUI thread only.
#pragma once

#include <windows.h>

// Asks for a file name, writes the file and reports a file that cannot be
// created or written in a message box owned by `window`. Cancel does nothing.
void SaveLiveLines(HWND window);

// Writes the byte order mark FF FE, then for each visible line held when it
// starts, oldest first, its prefix, its body and CR LF. storeLock is held
// while a chunk of lines is formatted, never while the file is written; lines
// that drop out of the store before their turn are replaced by a note saying
// how many. Memory: one chunk of 128 KB. FALSE + last error on the first
// failed write (nothing further is written).
BOOL WriteVisibleLines(HANDLE file);
