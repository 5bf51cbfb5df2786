// LiveWindowState: the one process-wide record of the Live Tracing window.
// The window is single-instance, so there is exactly one, `liveState`.
// Fields guarded by storeLock are marked; the rest belong to the GUI thread.
#pragma once

#include <windows.h>

#define LIVE_SLOT_COUNT        50000u   // lines kept in memory
#define LIVE_HIDDEN_PID_MAX    8
#define LIVE_FIND_TEXT_UNITS   128
#define LIVE_FONT_FACE_UNITS   32
#define LIVE_LAYOUT_ROWS       10
#define LIVE_VIEW_MAX_LINES    62500    // a render beyond this trims the view...
#define LIVE_VIEW_KEPT_LINES   50000    // ...back to this many newest lines
#define LIVE_CAPTION           L"Live Tracing"   // the window's title and its boxes' caption

// One stored line. `text` is a malloc'd, NUL-terminated UTF-16 string owned
// by the store; null marks a slot that holds no line.
struct LiveLine {
    FILETIME timestamp;     // UTC
    DWORD processId;
    DWORD threadId;
    BYTE level;             // ETW level as received, stored unchanged
    DWORD isStatus;         // nonzero: a line the program adds about itself
    WCHAR* text;
};

// One control managed by the Live Tracing window's layout.
struct LayoutEntry {
    UINT controlId;
    RECT rect;              // client coordinates when the window opened
    BOOL stretchRight;
    BOOL followRight;
    BOOL stretchBottom;
};

struct LiveWindowState {
    // Window
    HWND window = nullptr;
    HWND statusBar = nullptr;
    WNDPROC oldRichEditProc = nullptr;
    HFONT viewFont = nullptr;
    HANDLE consumerThread = nullptr;
    BOOL paused = FALSE;
    BOOL autoScroll = TRUE;
    WCHAR fontFace[LIVE_FONT_FACE_UNITS] = L"Courier New";
    // A render past viewMaxLines cuts the view back to its newest
    // viewKeptLines; set again at each opening.
    LONG viewMaxLines = LIVE_VIEW_MAX_LINES;
    LONG viewKeptLines = LIVE_VIEW_KEPT_LINES;

    // Layout
    int baseClientWidth = 0;
    int baseClientHeight = 0;
    int minTrackWidth = 0;
    int minTrackHeight = 0;
    LayoutEntry layout[LIVE_LAYOUT_ROWS] = {};

    // Line store. storeLock guards slots, the counters and the view cursor.
    // Live, the slots are a ring of LIVE_SLOT_COUNT; viewing log files, they
    // grow as lines arrive and never wrap.
    CRITICAL_SECTION storeLock = {};
    BOOL storeLockReady = FALSE;
    LiveLine* slots = nullptr;          // storeLock; line s in slot s % slotCount
    DWORD slotCount = 0;                // storeLock
    BOOL slotsGrow = FALSE;             // storeLock
    DWORD heldCount = 0;                // storeLock
    ULONG64 totalCount = 0;             // storeLock; sequence number of the next line
    DWORD errorCount = 0;               // storeLock

    // Filters (GUI thread)
    BYTE levelFilter = 5;
    DWORD showOnlyPid = 0;
    DWORD hiddenPids[LIVE_HIDDEN_PID_MAX] = {};
    DWORD hiddenPidCount = 0;
    WCHAR findText[LIVE_FIND_TEXT_UNITS] = {};

    // View cursor (storeLock)
    ULONG64 nextToRender = 0;
    ULONG64 lostBeforeRender = 0;

    // What ETW itself lost of the live session's events, as it last said
    // (GUI thread), and how much of it the view has told.
    ULONG64 etwEventsLost = 0;
    ULONG64 etwBuffersLost = 0;
    ULONG64 etwEventsTold = 0;
    ULONG64 etwBuffersTold = 0;

    // Context menu (GUI thread)
    DWORD contextPid = 0;

    // Viewing log files instead of a live session: what is read (null when
    // live), and what the reader has read so far.
    const struct LogViewSource* logSource = nullptr;
    volatile LONG stopReading = FALSE;  // the window closes: read no further
    BOOL logRead = FALSE;               // storeLock: every file read
    volatile LONG64 logEvents = 0;      // interlocked: events read
    FILETIME logFirst = {}, logLast = {};   // storeLock: the earliest and latest of the files held
};

// Defined in live/live_state.cpp.
extern LiveWindowState liveState;

// The slot of sequence number `sequence`. storeLock held, slots present.
inline LiveLine* HeldLine(ULONG64 sequence)
{
    return &liveState.slots[sequence % liveState.slotCount];
}
