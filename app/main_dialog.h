// Main dialog (template 101): the program's entry and spine. GUI thread only.
#pragma once

#include <windows.h>

// The module instance handle, stored before the main dialog exists.
extern HINSTANCE appInstance;

// Initialises the common controls, stores `instance` in appInstance and runs
// the main dialog modally; returns its result (-1 if it cannot be created).
int RunQuorvelTrace(HINSTANCE instance);

INT_PTR CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
