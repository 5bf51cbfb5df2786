// Rendering of the line store into the Live Tracing window's rich-edit view
// (control IDC_LIVE_VIEW). GUI thread only; storeLock is held only while a
// document is built, never while the view is touched.
//
// The view keeps the user's place by text, never by EM_GETSCROLLPOS or the
// scroll bar: both are 16-bit values, scaled once the text is taller than
// 65535 pixels (some 4500 lines). Line and character positions, and the pixel
// positions of characters, hold at any height.
#pragma once

#include <windows.h>

#include "live/rtf_builder.h"

// A replacing document holding other lines than the view (a filter changed):
// the view goes to its end.
#define VIEW_OTHER_LINES        LONG_MIN

// The view's place: the line at its top, how far that line is scrolled
// above the top edge, and the horizontal scroll, in text positions and
// pixels that hold at any height.
struct ViewPlace {
    LONG firstLine;
    LONG lineOffset;
    LONG scrollX;
    BOOL atEnd;         // the end of the text is on screen
};

ViewPlace CaptureViewPlace(HWND view);
// Puts the same line back at the top, as far scrolled (the text above it
// unchanged).
void RestoreViewPlace(HWND view, const ViewPlace* place);

// Renders the lines stored since the last render, counting the ones
// overwritten meanwhile in lostBeforeRender, then updates the status bar.
// While paused, or without a view, only the status bar is updated.
void AppendNewLines(HWND window);

// Replaces the view's text with every held line that passes the filters,
// then updates the status bar. Ignores pause. Does nothing without a view
// or a store. With `keepPlace` (the filters are unchanged: a theme or time
// zone change), the same lines stay on screen and selected; otherwise the
// view goes to its end.
void RebuildView(HWND window, BOOL keepPlace);

// Puts one finished document into the view, appending it or replacing the
// view's text; a view of more than `maxLines` lines is then cut back to its
// newest `keptLines`. A replacing document that holds the view's lines again
// gives in `shift` where they went (line i of the view becomes line
// i - shift), else VIEW_OTHER_LINES. Keeps the user's selection and the first
// line on screen, or follows the end when autoScroll is on and the view was
// at its end. Does nothing for an empty or failed buffer.
void StreamIntoView(HWND view, const RtfBuffer* buffer, BOOL replace, LONG shift, LONG maxLines,
                    LONG keptLines);
