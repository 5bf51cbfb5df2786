// Layout of the Live Tracing window: the template geometry recorded at
// opening, the controls moved on every resize, the status bar docked with its
// three parts, and the minimum tracking size. GUI thread only.
#pragma once

#include <windows.h>

// Records the client size, the managed controls' rectangles and the minimum
// tracking size, then lays the window out once. Called at opening, after the
// status bar exists.
void CaptureLiveLayout(HWND window);

// Moves the managed controls for a client area of `width` x `height` from
// the recorded geometry, then docks the status bar and sets its parts. Does
// nothing before CaptureLiveLayout; a failed deferral leaves the controls
// where they were.
void LayoutLiveWindow(HWND window, int width, int height);

// The WM_GETMINMAXINFO answer: TRUE when a minimum tracking size is recorded
// (and set in `info`), FALSE to leave the message to the system.
BOOL SetLiveMinTrackSize(MINMAXINFO* info);
