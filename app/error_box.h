// The main dialog's error box for user-started Win32 failures. GUI thread.
#pragma once

#include <windows.h>

// Caption "file(line)" of the failing call; text "0x%08X - " and the
// system's message for `error`. An information box with an OK button.
void ShowErrorBox(HWND owner, DWORD error, const char* sourceFile, int sourceLine);

#define SHOW_ERROR_BOX(owner, error) ShowErrorBox((owner), (error), __FILE__, __LINE__)
