#include "live/status_bar.h"

#include <commctrl.h>

#include "common/wide_format.h"
#include "live/live_state.h"

#define PID_TEXT_UNITS 16

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
    LeaveCriticalSection(&liveState.storeLock);

    WCHAR text[STATUS_TEXT_UNITS_MAX];
    FormatCapturedText(text, totalCount);
    SendMessageW(statusBar, SB_SETTEXTW, 0, (LPARAM)text);

    FormatTruncating(text, STATUS_TEXT_UNITS_MAX, L" Errors: %u", errorCount);
    SendMessageW(statusBar, SB_SETTEXTW, 1, (LPARAM)text);

    if (liveState.paused)
        FormatTruncating(text, STATUS_TEXT_UNITS_MAX, L" PAUSED - %I64u line(s) pending", pending);
    else if (lost != 0)
        FormatTruncating(text, STATUS_TEXT_UNITS_MAX, L" Running - %I64u line(s) lost (buffer full)",
                         lost);
    else
        FormatTruncating(text, STATUS_TEXT_UNITS_MAX, L" Running");
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
    edges[0] = width - 320 > 80 ? width - 320 : 80;
    edges[1] = width - 210 > edges[0] + 60 ? width - 210 : edges[0] + 60;
    edges[2] = -1;
    SendMessageW(statusBar, SB_SETPARTS, STATUS_PART_COUNT, (LPARAM)edges);
}
