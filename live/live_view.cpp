#include "live/live_view.h"

#include <richedit.h>

#include "live/live_state.h"
#include "live/status_bar.h"
#include "res/resource.h"

void AppendNewLines(HWND window)
{
    HWND view = GetDlgItem(window, IDC_LIVE_VIEW);
    if (!liveState.paused && view != nullptr && liveState.storeLockReady) {
        RtfBuffer buffer = {};
        // The header reads the registry; it is built before the lock is taken.
        RtfAppendHeader(&buffer);
        DWORD lines = 0;
        EnterCriticalSection(&liveState.storeLock);
        if (liveState.slots != nullptr && liveState.nextToRender < liveState.totalCount) {
            ULONG64 oldest = liveState.totalCount - liveState.heldCount;
            if (liveState.nextToRender < oldest) {
                liveState.lostBeforeRender += oldest - liveState.nextToRender;
                liveState.nextToRender = oldest;
            }
            RtfReserveLines(&buffer, liveState.totalCount - liveState.nextToRender);
            lines = RtfAppendLines(&buffer, liveState.nextToRender, liveState.totalCount);
            RtfAppend(&buffer, "}");
            liveState.nextToRender = liveState.totalCount;
        }
        LeaveCriticalSection(&liveState.storeLock);
        if (lines > 0)
            StreamIntoView(view, &buffer, FALSE);
        RtfBufferFree(&buffer);
    }
    UpdateStatusBar();
}

void RebuildView(HWND window)
{
    HWND view = GetDlgItem(window, IDC_LIVE_VIEW);
    if (view == nullptr || !liveState.storeLockReady)
        return;
    RtfBuffer buffer = {};
    RtfAppendHeader(&buffer);
    EnterCriticalSection(&liveState.storeLock);
    if (liveState.slots == nullptr) {
        LeaveCriticalSection(&liveState.storeLock);
        RtfBufferFree(&buffer);
        return;
    }
    RtfReserveLines(&buffer, liveState.heldCount);
    RtfAppendLines(&buffer, liveState.totalCount - liveState.heldCount, liveState.totalCount);
    RtfAppend(&buffer, "}");
    liveState.nextToRender = liveState.totalCount;
    LeaveCriticalSection(&liveState.storeLock);

    // Even with no visible line: the view then becomes empty.
    StreamIntoView(view, &buffer, TRUE);
    RtfBufferFree(&buffer);
    UpdateStatusBar();
}

static BOOL IsScrolledToBottom(HWND view)
{
    SCROLLINFO scroll = {};
    scroll.cbSize = sizeof(scroll);
    scroll.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    if (!GetScrollInfo(view, SB_VERT, &scroll) || scroll.nPage == 0)
        return TRUE;
    return scroll.nPos + (int)scroll.nPage >= scroll.nMax;
}

// Cuts the view back to its newest LIVE_VIEW_KEPT_LINES lines once it holds
// more than LIVE_VIEW_MAX_LINES; returns the characters removed from the top.
static LONG TrimView(HWND view)
{
    LRESULT lines = SendMessageW(view, EM_GETLINECOUNT, 0, 0);
    if (lines <= LIVE_VIEW_MAX_LINES)
        return 0;
    LRESULT cut = SendMessageW(view, EM_LINEINDEX, lines - LIVE_VIEW_KEPT_LINES, 0);
    if (cut <= 0)
        return 0;
    SendMessageW(view, EM_SETSEL, 0, cut);
    SendMessageW(view, EM_REPLACESEL, FALSE, (LPARAM)L"");
    return (LONG)cut;
}

// Follows the end of the text. The horizontal position stays where the user
// left it: inserting long lines may have scrolled the view sideways.
static void ScrollToBottom(HWND view, LONG x)
{
    SendMessageW(view, WM_VSCROLL, SB_BOTTOM, 0);
    POINT point = {};
    SendMessageW(view, EM_GETSCROLLPOS, 0, (LPARAM)&point);
    if (point.x == x)
        return;
    point.x = x;
    SendMessageW(view, EM_SETSCROLLPOS, 0, (LPARAM)&point);
}

void StreamIntoView(HWND view, const RtfBuffer* buffer, BOOL replace)
{
    if (buffer->data == nullptr || buffer->length == 0 || buffer->failed)
        return;

    BOOL wasAtBottom = IsScrolledToBottom(view);
    CHARRANGE selection = {};
    SendMessageW(view, EM_EXGETSEL, 0, (LPARAM)&selection);
    POINT scrollPoint = {};
    SendMessageW(view, EM_GETSCROLLPOS, 0, (LPARAM)&scrollPoint);

    SendMessageW(view, WM_SETREDRAW, FALSE, 0);
    LRESULT oldMask = SendMessageW(view, EM_SETEVENTMASK, 0, 0);
    SendMessageW(view, EM_SETREADONLY, FALSE, 0);

    LONG insertAt = 0;
    if (replace)
        SetWindowTextW(view, L"");
    else
        insertAt = GetWindowTextLengthW(view);
    CHARRANGE insertion = {insertAt, insertAt};
    SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&insertion);

    RtfStreamCookie cookie = {buffer->data, buffer->length, 0};
    EDITSTREAM stream = {};
    stream.dwCookie = (DWORD_PTR)&cookie;
    stream.pfnCallback = RtfStreamCallback;
    SendMessageW(view, EM_STREAMIN, SF_RTF | SFF_SELECTION, (LPARAM)&stream);

    LONG removed = TrimView(view);

    SendMessageW(view, EM_SETREADONLY, TRUE, 0);
    SendMessageW(view, EM_SETEVENTMASK, 0, oldMask);
    SendMessageW(view, WM_SETREDRAW, TRUE, 0);

    if (replace) {
        SendMessageW(view, EM_SETSEL, (WPARAM)-1, 0);
        ScrollToBottom(view, scrollPoint.x);
    } else if (selection.cpMin == selection.cpMax) {
        if (liveState.autoScroll && wasAtBottom)
            ScrollToBottom(view, scrollPoint.x);
        else
            SendMessageW(view, EM_SETSCROLLPOS, 0, (LPARAM)&scrollPoint);
    } else {
        // The same text stays selected after lines were cut from the top.
        selection.cpMin = selection.cpMin > removed ? selection.cpMin - removed : 0;
        selection.cpMax = selection.cpMax > removed ? selection.cpMax - removed : 0;
        SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&selection);
        SendMessageW(view, EM_SETSCROLLPOS, 0, (LPARAM)&scrollPoint);
    }
    // The frame too: the scroll bars changed while redrawing was off.
    RedrawWindow(view, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
}
