#include "live/live_layout.h"

#include "live/live_state.h"
#include "live/status_bar.h"
#include "res/resource.h"

struct LayoutRow {
    UINT controlId;
    BOOL stretchRight;
    BOOL followRight;
    BOOL stretchBottom;
};

// The Find edit widens, Auto-scroll keeps its distance from the right edge,
// the view fills the rest; everything else stays where the template has it.
static const LayoutRow kLayoutRows[LIVE_LAYOUT_ROWS] = {
    {IDC_LIVE_PAUSE, FALSE, FALSE, FALSE},
    {IDC_LIVE_CLEAR, FALSE, FALSE, FALSE},
    {IDC_LIVE_COPY, FALSE, FALSE, FALSE},
    {IDC_LIVE_SAVE, FALSE, FALSE, FALSE},
    {IDC_LIVE_LEVEL_LABEL, FALSE, FALSE, FALSE},
    {IDC_LIVE_LEVEL, FALSE, FALSE, FALSE},
    {IDC_LIVE_FIND_LABEL, FALSE, FALSE, FALSE},
    {IDC_LIVE_FIND, TRUE, FALSE, FALSE},
    {IDC_LIVE_AUTOSCROLL, FALSE, TRUE, FALSE},
    {IDC_LIVE_VIEW, TRUE, FALSE, TRUE},
};

void CaptureLiveLayout(HWND window)
{
    RECT client = {};
    GetClientRect(window, &client);
    liveState.baseClientWidth = client.right;
    liveState.baseClientHeight = client.bottom;

    int statusHeight = 0;
    if (liveState.statusBar != nullptr) {
        SendMessageW(liveState.statusBar, WM_SIZE, 0, 0);
        RECT bar = {};
        GetWindowRect(liveState.statusBar, &bar);
        statusHeight = bar.bottom - bar.top;
    }

    for (int i = 0; i < LIVE_LAYOUT_ROWS; ++i) {
        LayoutEntry& entry = liveState.layout[i];
        const LayoutRow& row = kLayoutRows[i];
        entry = LayoutEntry{row.controlId, {}, row.stretchRight, row.followRight, row.stretchBottom};
        HWND control = GetDlgItem(window, (int)row.controlId);
        if (control == nullptr)
            continue;
        GetWindowRect(control, &entry.rect);
        MapWindowPoints(HWND_DESKTOP, window, (POINT*)&entry.rect, 2);
        // The gap between the view and the status bar equals the view's
        // left margin.
        if (row.controlId == IDC_LIVE_VIEW)
            entry.rect.bottom = client.bottom - entry.rect.left - statusHeight;
    }

    RECT outer = {};
    GetWindowRect(window, &outer);
    liveState.minTrackWidth = outer.right - outer.left;
    liveState.minTrackHeight = (outer.bottom - outer.top) / 2;

    LayoutLiveWindow(window, client.right, client.bottom);
}

void LayoutLiveWindow(HWND window, int width, int height)
{
    if (liveState.baseClientWidth == 0)
        return;
    int dx = width - liveState.baseClientWidth;
    int dy = height - liveState.baseClientHeight;

    HDWP positions = BeginDeferWindowPos(LIVE_LAYOUT_ROWS);
    if (positions == nullptr)
        return;
    for (const LayoutEntry& entry : liveState.layout) {
        HWND control = GetDlgItem(window, (int)entry.controlId);
        if (control == nullptr)
            continue;
        RECT rect = entry.rect;
        if (entry.followRight) {
            rect.left += dx;
            rect.right += dx;
        }
        if (entry.stretchRight)
            rect.right += dx;
        if (entry.stretchBottom)
            rect.bottom += dy;
        int controlWidth = (rect.right > rect.left ? rect.right : rect.left) - rect.left;
        int controlHeight = (rect.bottom > rect.top ? rect.bottom : rect.top) - rect.top;
        positions = DeferWindowPos(positions, control, nullptr, rect.left, rect.top, controlWidth,
                                   controlHeight, SWP_NOZORDER | SWP_NOACTIVATE);
        // A failed deferral abandons this layout; the next resize tries again.
        if (positions == nullptr)
            return;
    }
    EndDeferWindowPos(positions);

    if (liveState.statusBar != nullptr) {
        SendMessageW(liveState.statusBar, WM_SIZE, 0, 0);
        SetStatusBarParts(liveState.statusBar);
    }
}

BOOL SetLiveMinTrackSize(MINMAXINFO* info)
{
    if (liveState.minTrackWidth == 0)
        return FALSE;
    info->ptMinTrackSize.x = liveState.minTrackWidth;
    info->ptMinTrackSize.y = liveState.minTrackHeight;
    return TRUE;
}
