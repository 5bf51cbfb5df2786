#include "live/status_bar.h"

#include <commctrl.h>

#include "common/wide_format.h"
#include "live/line_format.h"
#include "live/live_state.h"

#define PID_TEXT_UNITS 16
#define WIDE_THIRD_PART_WIDTH 360

// " Captured: N" with the process-filter note, if any.
static void FormatCapturedText(WCHAR* text, ULONG64 totalCount)
{
    if (liveState.showOnlyPid != 0) {
        FormatTruncating(text, STATUS_TEXT_UNITS_MAX, L" Captured: %I64u  -  showing only PID %u",
                         totalCount, liveState.showOnlyPid);
        return;
    }
    if (liveState.hiddenPidCount == 0) {
        FormatTruncating(text, STATUS_TEXT_UNITS_MAX, L" Captured: %I64u", totalCount);
        return;
    }
    WCHAR list[STATUS_TEXT_UNITS_MAX] = {};
    DWORD count = liveState.hiddenPidCount;
    if (count > LIVE_HIDDEN_PID_MAX)
        count = LIVE_HIDDEN_PID_MAX;
    for (DWORD i = 0; i < count; ++i) {
        WCHAR pid[PID_TEXT_UNITS];
        FormatTruncating(pid, PID_TEXT_UNITS, i == 0 ? L"%u" : L", %u", liveState.hiddenPids[i]);
        wcsncat(list, pid, STATUS_TEXT_UNITS_MAX - 1 - wcslen(list));
    }
    FormatTruncating(text, STATUS_TEXT_UNITS_MAX, L" Captured: %I64u  -  hiding PID %s", totalCount,
                     list);
}

// Viewing log files: how far the reading is, then the files' time range and
// their event count.
static void FormatLogText(WCHAR* text, BOOL read, FILETIME first, FILETIME last)
{
    ULONG64 events = (ULONG64)liveState.logEvents;
    if (!read) {
        FormatTruncating(text, STATUS_TEXT_UNITS_MAX, L" Reading - %I64u event(s)", events);
        return;
    }
    if (events == 0) {
        FormatTruncating(text, STATUS_TEXT_UNITS_MAX, L" No event");
        return;
    }
    WCHAR from[LOCAL_STAMP_UNITS], to[LOCAL_STAMP_UNITS];
    FormatLocalStamp(&first, FALSE, from, LOCAL_STAMP_UNITS);
    FormatLocalStamp(&last, FALSE, to, LOCAL_STAMP_UNITS);
    FormatTruncating(text, STATUS_TEXT_UNITS_MAX, L" %s to %s - %I64u event(s)", from, to, events);
}

void UpdateStatusBar()
{
    HWND statusBar = liveState.statusBar;
    if (statusBar == nullptr || !liveState.storeLockReady)
        return;

    EnterCriticalSection(&liveState.storeLock);
    ULONG64 totalCount = liveState.totalCount;
    DWORD errorCount = liveState.errorCount;
    ULONG64 lost = liveState.lostBeforeRender;
    ULONG64 pending = totalCount > liveState.nextToRender ? totalCount - liveState.nextToRender : 0;
    BOOL logRead = liveState.logRead;
    FILETIME logFirst = liveState.logFirst, logLast = liveState.logLast;
    LeaveCriticalSection(&liveState.storeLock);

    WCHAR text[STATUS_TEXT_UNITS_MAX];
    FormatCapturedText(text, totalCount);
    SendMessageW(statusBar, SB_SETTEXTW, 0, (LPARAM)text);

    FormatTruncating(text, STATUS_TEXT_UNITS_MAX, L" Errors: %u", errorCount);
    SendMessageW(statusBar, SB_SETTEXTW, 1, (LPARAM)text);

    if (liveState.logSource != nullptr)
        FormatLogText(text, logRead, logFirst, logLast);
    else if (liveState.paused)
        FormatTruncating(text, STATUS_TEXT_UNITS_MAX, L" PAUSED - %I64u line(s) pending", pending);
    else if (lost != 0)
        FormatTruncating(text, STATUS_TEXT_UNITS_MAX, L" Running - %I64u line(s) lost (buffer full)",
                         lost);
    else
        FormatTruncating(text, STATUS_TEXT_UNITS_MAX, L" Running");
    // What ETW dropped before the events reached the window, kept apart.
    if (liveState.etwEventsLost != 0 || liveState.etwBuffersLost != 0) {
        size_t length = wcslen(text);
        FormatTruncating(text + length, STATUS_TEXT_UNITS_MAX - length,
                         liveState.etwBuffersLost != 0 ? L", ETW lost %I64u event(s) and %I64u buffer(s)"
                                                       : L", ETW lost %I64u event(s)",
                         liveState.etwEventsLost, liveState.etwBuffersLost);
    }
    SendMessageW(statusBar, SB_SETTEXTW, 2, (LPARAM)text);
}

void SetStatusBarParts(HWND statusBar)
{
    if (statusBar == nullptr)
        return;
    RECT client = {};
    GetClientRect(statusBar, &client);
    int width = client.right;
    int edges[STATUS_PART_COUNT];
    // The time range of a log, or what ETW lost, takes more room than the run
    // state alone.
    BOOL etwLost = liveState.etwEventsLost != 0 || liveState.etwBuffersLost != 0;
    int third = liveState.logSource != nullptr || etwLost ? WIDE_THIRD_PART_WIDTH : 210;
    edges[0] = width - (third + 110) > 80 ? width - (third + 110) : 80;
    edges[1] = width - third > edges[0] + 60 ? width - third : edges[0] + 60;
    edges[2] = -1;
    SendMessageW(statusBar, SB_SETPARTS, STATUS_PART_COUNT, (LPARAM)edges);
}
