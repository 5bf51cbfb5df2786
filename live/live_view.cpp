#include "live/live_view.h"

#include <richedit.h>

#include "live/live_state.h"
#include "live/status_bar.h"
#include "res/resource.h"

// Counts the lines that dropped out of the store before the view showed
// them and moves the cursor to the oldest held line. storeLock held.
static void CountLinesLostBeforeRender()
{
    ULONG64 oldest = liveState.totalCount - liveState.heldCount;
    if (liveState.nextToRender < oldest) {
        liveState.lostBeforeRender += oldest - liveState.nextToRender;
        liveState.nextToRender = oldest;
    }
}

static BOOL HasNewLines()
{
    EnterCriticalSection(&liveState.storeLock);
    BOOL any = liveState.slots != nullptr && liveState.nextToRender < liveState.totalCount;
    LeaveCriticalSection(&liveState.storeLock);
    return any;
}

void AppendNewLines(HWND window)
{
    HWND view = GetDlgItem(window, IDC_LIVE_VIEW);
    // An idle tick builds nothing: the header reads the registry and the
    // document is a large block. Only the consumer adds lines meanwhile, so
    // what was new is still new (or counted lost) below.
    if (!liveState.paused && view != nullptr && liveState.storeLockReady && HasNewLines()) {
        RtfBuffer buffer = {};
        // The header reads the registry; it is built before the lock is taken.
        RtfAppendHeader(&buffer);
        DWORD lines = 0;
        EnterCriticalSection(&liveState.storeLock);
        if (liveState.slots != nullptr) {
            CountLinesLostBeforeRender();
            RtfReserveLines(&buffer, liveState.totalCount - liveState.nextToRender);
            lines = RtfAppendLines(&buffer, liveState.nextToRender, liveState.totalCount);
            RtfAppend(&buffer, "}");
            liveState.nextToRender = liveState.totalCount;
        }
        LeaveCriticalSection(&liveState.storeLock);
        if (lines > 0)
            StreamIntoView(view, &buffer, FALSE, LIVE_VIEW_MAX_LINES, LIVE_VIEW_KEPT_LINES);
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
    // Lines that dropped out while the view was paused were never shown:
    // the rebuild must not make them disappear from the count.
    CountLinesLostBeforeRender();
    RtfReserveLines(&buffer, liveState.heldCount);
    RtfAppendLines(&buffer, liveState.totalCount - liveState.heldCount, liveState.totalCount);
    RtfAppend(&buffer, "}");
    liveState.nextToRender = liveState.totalCount;
    LeaveCriticalSection(&liveState.storeLock);

    // Even with no visible line: the view then becomes empty.
    StreamIntoView(view, &buffer, TRUE, LIVE_VIEW_MAX_LINES, LIVE_VIEW_KEPT_LINES);
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

// Cuts the view back to its newest `keptLines` lines once it holds more
// than `maxLines`; returns the characters removed from the top and, in
// *removedHeight, the height in pixels of the text they took.
static LONG TrimView(HWND view, LONG maxLines, LONG keptLines, LONG* removedHeight)
{
    *removedHeight = 0;
    LONG lines = (LONG)SendMessageW(view, EM_GETLINECOUNT, 0, 0);
    if (lines <= maxLines)
        return 0;
    LONG cut = (LONG)SendMessageW(view, EM_LINEINDEX, lines - keptLines, 0);
    if (cut <= 0)
        return 0;
    POINTL top = {}, kept = {};
    SendMessageW(view, EM_POSFROMCHAR, (WPARAM)&top, 0);
    SendMessageW(view, EM_POSFROMCHAR, (WPARAM)&kept, cut);
    *removedHeight = kept.y - top.y;
    SendMessageW(view, EM_SETSEL, 0, cut);
    SendMessageW(view, EM_REPLACESEL, FALSE, (LPARAM)L"");
    return cut;
}

// The scroll point is a pixel offset into the document: after a cut at the
// top it must move up by the height of what was cut, or the view would jump
// that many lines further down.
static void RestoreScrollPoint(HWND view, POINT scrollPoint, LONG removedHeight)
{
    scrollPoint.y = scrollPoint.y > removedHeight ? scrollPoint.y - removedHeight : 0;
    SendMessageW(view, EM_SETSCROLLPOS, 0, (LPARAM)&scrollPoint);
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

void StreamIntoView(HWND view, const RtfBuffer* buffer, BOOL replace, LONG maxLines, LONG keptLines)
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

    LONG removedHeight = 0;
    LONG removed = TrimView(view, maxLines, keptLines, &removedHeight);

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
            RestoreScrollPoint(view, scrollPoint, removedHeight);
    } else {
        // The same text stays selected after lines were cut from the top.
        selection.cpMin = selection.cpMin > removed ? selection.cpMin - removed : 0;
        selection.cpMax = selection.cpMax > removed ? selection.cpMax - removed : 0;
        SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&selection);
        RestoreScrollPoint(view, scrollPoint, removedHeight);
    }
    // The frame too: the scroll bars changed while redrawing was off.
    RedrawWindow(view, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
}
