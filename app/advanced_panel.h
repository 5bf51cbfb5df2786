// The foldable Advanced panel of the main dialog and the persistent status
// line. GUI thread only.
#pragma once

#include <windows.h>

// Shows or hides every control at or below the Advanced button's bottom,
// resizes the dialog to fit, recentres it in the work area, and sets the
// button's text and mainDialog.advancedExpanded.
void SetAdvancedExpanded(HWND dialog, BOOL expanded);

// The EnumChildWindows callback of SetAdvancedExpanded; lParam points at a
// FoldRecord. Always TRUE.
struct FoldRecord {
    int foldLine;       // client y of the Advanced button's bottom
    BOOL expanded;
};
BOOL CALLBACK ShowIfBelowProc(HWND child, LPARAM lParam);

// Refreshes status line 1024 and the Enable / Disable states from the registry.
void UpdatePersistentStatus(HWND dialog);
