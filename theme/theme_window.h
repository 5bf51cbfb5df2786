// Dark-mode theming of the program's dialogs: the message hook every dialog
// procedure calls first, the theme pass over a window and its controls, and
// the colour answers of the dark theme. GUI thread only; nothing here fails
// visibly: a missing system function skips its step.
#pragma once

#include <windows.h>

// Marks a control that holds a dark theme set by SetControlTheme (value 1).
#define DARK_CONTROL_PROPERTY   L"QvlDarkControl"

// The theming's process-wide state.
struct ThemeState {
    BOOL darkModeOptedIn;        // the app-wide dark-mode opt-in step has run (at most once)
    DWORD osBuildNumber;         // Windows build number; 0 until read
    BOOL darkButtonThemeUsable;  // "DarkMode_DarkTheme::Button" draws light group-box text
    HBRUSH darkControlBrush;     // DarkControlColor, made at the first dark edit colour answer; kept
};
extern ThemeState themeState;

// Called first by every dialog procedure for every message. Themes `window`
// at WM_INITDIALOG and at the "ImmersiveColorSet" setting change (returning
// FALSE, so the dialog does its own work too) and, in the dark theme,
// answers the WM_CTLCOLOR* messages: it then returns TRUE and the dialog
// procedure returns *result (a brush) at once. On FALSE *result is 0.
BOOL HandleThemeMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result);

// Themes a top-level window for the current app theme: the once-per-process
// dark-mode opt-in, the title bar, every descendant control, a full redraw.
void ApplyWindowTheme(HWND window);

// EnumChildWindows callback of ApplyWindowTheme; `dark` is the theme of the
// pass. Always TRUE.
BOOL CALLBACK ThemeChildProc(HWND child, LPARAM dark);

// Dark: marks the control and gives it the visual-style theme `name` (an
// empty name switches visual styles off). Light: takes back a theme set
// here and leaves a control never themed alone.
void SetControlTheme(HWND control, BOOL dark, const WCHAR* name);
