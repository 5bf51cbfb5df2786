// Main dialog (template 101): the program's entry and spine. GUI thread only.
#pragma once

#include <windows.h>

// The module instance handle, stored before the main dialog exists.
extern HINSTANCE appInstance;

// The main dialog's process-wide state; the dialog exists once per process.
struct MainDialogState {
    HMODULE richEditModule = nullptr;   // riched20.dll, loaded at the first Live Tracing
    HFONT liveButtonFont = nullptr;     // bold font of "Live Tracing"
    int expandedClientHeight = 0;       // client height with every control shown
    BOOL advancedExpanded = FALSE;      // the Advanced panel is shown
};
extern MainDialogState mainDialog;

// Initialises the common controls, stores `instance` in appInstance and runs
// the main dialog modally; returns its result (-1 if it cannot be created).
int RunQuorvelTrace(HINSTANCE instance);

INT_PTR CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
