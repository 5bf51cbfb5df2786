// The Save dialog of both text files the program writes. GUI thread.
#pragma once

#include <windows.h>

// Asks, in the common Save dialog owned by `owner`, for a text file name
// (filter "Text file" *.txt, then *.*; ".txt" added to a name typed without
// extension) into `path` (MAX_PATH units). `flags` are the dialog's
// (OFN_PATHMUSTEXIST, with OFN_OVERWRITEPROMPT to ask before replacing).
// FALSE when the user cancels or the dialog fails.
BOOL AskTextFileName(HWND owner, DWORD flags, WCHAR* path);
