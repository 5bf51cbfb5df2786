// The Live Tracing window's three-part status bar: captured count and
// process filter, error count, run state. GUI thread only.
#pragma once

#include <windows.h>

#define STATUS_TEXT_UNITS_MAX   128
#define STATUS_PART_COUNT       3

// Rewrites the three texts from the store counters (one short storeLock
// hold) and the window's pause and filter state. Does nothing while
// liveState.statusBar is null.
void UpdateStatusBar();

// Sets the three parts for the status bar's current client width: part 0
// ends at W - 320 (at least 80), part 1 at W - 210 (at least 60 beyond part
// 0), part 2 runs to the end.
void SetStatusBarParts(HWND statusBar);
