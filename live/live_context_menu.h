// The view's context menu with the per-process filter, and the view's
// subclass (menu, Tab and Escape for the dialog, Ctrl+A, Ctrl+F). GUI thread
// only.
#pragma once

#include <windows.h>

#define CONTEXT_LINE_UNITS      512     // text of the line under the menu
#define CONTEXT_LABEL_UNITS     64      // "PID %u (%s)"
#define CONTEXT_ITEM_UNITS      128     // one menu text
#define CONTEXT_EXE_UNITS       32      // executable name, cut to 31 characters
#define CONTEXT_KEYBOARD_INSET  16      // a keyboard request opens here in the view

// Window procedure installed on the view at opening; forwards everything it
// does not handle to liveState.oldRichEditProc.
LRESULT CALLBACK RichEditSubclassProc(HWND view, UINT message, WPARAM wParam, LPARAM lParam);

// Builds and tracks the view's context menu for a WM_CONTEXTMENU position
// (screen coordinates as signed 16-bit halves; both -1 for a keyboard
// request). Sets liveState.contextPid from the line under the point. The
// chosen command reaches `window` as WM_COMMAND.
void ShowLiveContextMenu(HWND window, LPARAM position);

// The process id at column 19 of a display line, which a ":" follows; 0 when
// there is none or the digits do not fit in 32 bits. `length` in units.
DWORD ParsePidFromLine(const WCHAR* text, size_t length);

// Commands IDM_LIVE_SHOW_ONLY, IDM_LIVE_HIDE and IDM_LIVE_SHOW_ALL: change the
// process filter and rebuild the view (hiding a process already hidden
// changes nothing).
void ApplyProcessFilterCommand(HWND window, WORD id);
