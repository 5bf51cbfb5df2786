// Rendering of the line store into the Live Tracing window's rich-edit view
// (control IDC_LIVE_VIEW). GUI thread only; storeLock is held only while a
// document is built, never while the view is touched.
#pragma once

#include <windows.h>

#include "live/rtf_builder.h"

#define LIVE_VIEW_MAX_LINES     62500   // a render beyond this trims the view...
#define LIVE_VIEW_KEPT_LINES    50000   // ...back to this many newest lines

// Renders the lines stored since the last render, counting the ones
// overwritten meanwhile in lostBeforeRender, then updates the status bar.
// While paused, or without a view, only the status bar is updated.
void AppendNewLines(HWND window);

// Replaces the view's text with every held line that passes the filters,
// then updates the status bar. Ignores pause. Does nothing without a view
// or a store.
void RebuildView(HWND window);

// Puts one finished document into the view, replacing its text or appending
// to it; a view of more than `maxLines` lines is cut back to its newest
// `keptLines` (the window passes LIVE_VIEW_MAX_LINES and LIVE_VIEW_KEPT_LINES).
// Keeps the user's selection and the lines on screen (or follows the end when
// autoScroll is on and the view was at the bottom). Does nothing for an empty
// or failed buffer.
void StreamIntoView(HWND view, const RtfBuffer* buffer, BOOL replace, LONG maxLines, LONG keptLines);
