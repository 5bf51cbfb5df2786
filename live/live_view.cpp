#include "live/live_view.h"

#include <richedit.h>

#include "live/line_format.h"
#include "live/live_state.h"
#include "live/status_bar.h"
#include "res/resource.h"

#define LOG_VIEW_LINES_PER_TICK 2000

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

// Where the newest `lines` visible lines of [from, to) begin: a view that
// keeps `lines` lines never needs the older ones (a log of millions of
// lines, or everything a resume after a long pause shows). storeLock held.
static ULONG64 NewestVisibleFrom(ULONG64 from, ULONG64 to, LONG lines)
{
    LONG visible = 0;
    for (ULONG64 sequence = to; sequence > from; --sequence) {
        if (IsLineVisible(HeldLine(sequence - 1)) && ++visible == lines)
            return sequence - 1;
    }
    return from;
}

// Where `lines` visible lines from `from` on end, `to` at most. storeLock held.
static ULONG64 VisibleSpanEnd(ULONG64 from, ULONG64 to, LONG lines)
{
    LONG visible = 0;
    for (ULONG64 sequence = from; sequence < to; ++sequence) {
        if (IsLineVisible(HeldLine(sequence)) && ++visible == lines)
            return sequence + 1;
    }
    return to;
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
            ULONG64 from = NewestVisibleFrom(liveState.nextToRender, liveState.totalCount,
                                             liveState.viewKeptLines);
            // A log file comes in whole: its lines go into the view a part
            // each tick, so that the first show at once and the window
            // answers between the parts.
            ULONG64 to = liveState.logSource != nullptr
                             ? VisibleSpanEnd(from, liveState.totalCount, LOG_VIEW_LINES_PER_TICK)
                             : liveState.totalCount;
            RtfReserveLines(&buffer, to - from);
            lines = RtfAppendLines(&buffer, from, to);
            RtfAppend(&buffer, "}");
            liveState.nextToRender = to;
        }
        LeaveCriticalSection(&liveState.storeLock);
        if (lines > 0)
            StreamIntoView(view, &buffer, FALSE, 0, liveState.viewMaxLines, liveState.viewKeptLines);
        RtfBufferFree(&buffer);
    }
    UpdateStatusBar();
}

// Lines of text in the view: the last line, after the final paragraph mark,
// is always empty.
static LONG TextLineCount(HWND view)
{
    return (LONG)SendMessageW(view, EM_GETLINECOUNT, 0, 0) - 1;
}

void RebuildView(HWND window, BOOL keepPlace)
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
    // The view holds the visible lines up to nextToRender, and before them
    // lines the document may not hold again: it starts `shift` lines further
    // on (or earlier, in a view trimmed below the store's size).
    ULONG64 from = NewestVisibleFrom(liveState.totalCount - liveState.heldCount, liveState.totalCount,
                                     liveState.viewKeptLines);
    RtfReserveLines(&buffer, liveState.totalCount - from);
    ULONG64 rendered = from < liveState.nextToRender ? RtfAppendLines(&buffer, from, liveState.nextToRender) : 0;
    RtfAppendLines(&buffer, from > liveState.nextToRender ? from : liveState.nextToRender, liveState.totalCount);
    RtfAppend(&buffer, "}");
    liveState.nextToRender = liveState.totalCount;
    LeaveCriticalSection(&liveState.storeLock);

    LONG shift = keepPlace ? TextLineCount(view) - (LONG)rendered : VIEW_OTHER_LINES;
    // Even with no visible line: the view then becomes empty.
    StreamIntoView(view, &buffer, TRUE, shift, liveState.viewMaxLines, liveState.viewKeptLines);
    RtfBufferFree(&buffer);
    UpdateStatusBar();
}

static POINTL CharPosition(HWND view, LONG character)
{
    POINTL point = {};
    SendMessageW(view, EM_POSFROMCHAR, (WPARAM)&point, character);
    return point;
}

// Top of `line` in document pixels, measured from the text's first line.
static LONG LineTop(HWND view, LONG line)
{
    LONG start = (LONG)SendMessageW(view, EM_LINEINDEX, line, 0);
    return CharPosition(view, start).y - CharPosition(view, 0).y;
}

// The scroll point in pixels: where the formatting rectangle's corner lies
// in the document.
static POINT ScrollPoint(HWND view)
{
    RECT format = {};
    SendMessageW(view, EM_GETRECT, 0, (LPARAM)&format);
    POINTL origin = CharPosition(view, 0);
    return POINT{format.left - origin.x, format.top - origin.y};
}

ViewPlace CaptureViewPlace(HWND view)
{
    ViewPlace place = {};
    place.firstLine = (LONG)SendMessageW(view, EM_GETFIRSTVISIBLELINE, 0, 0);
    POINT scroll = ScrollPoint(view);
    place.lineOffset = scroll.y - LineTop(view, place.firstLine);
    place.scrollX = scroll.x;
    // At the end when the last line, the empty one after the last paragraph
    // mark, starts within the client area: the last text line is on screen
    // to its bottom.
    RECT client = {};
    GetClientRect(view, &client);
    LONG lastLine = (LONG)SendMessageW(view, EM_GETLINECOUNT, 0, 0) - 1;
    LONG lastStart = (LONG)SendMessageW(view, EM_LINEINDEX, lastLine, 0);
    place.atEnd = CharPosition(view, lastStart).y <= client.bottom;
    return place;
}

// Puts `line` at the top of the view, `lineOffset` pixels of it above the
// edge, and the horizontal scroll back.
static void ScrollToLine(HWND view, LONG line, LONG lineOffset, LONG scrollX)
{
    POINT point = {scrollX, LineTop(view, line) + lineOffset};
    SendMessageW(view, EM_SETSCROLLPOS, 0, (LPARAM)&point);
}

void RestoreViewPlace(HWND view, const ViewPlace* place)
{
    ScrollToLine(view, place->firstLine, place->lineOffset, place->scrollX);
}

// Follows the end of the text. The horizontal position stays where the user
// left it: inserting long lines may have scrolled the view sideways.
static void ScrollToEnd(HWND view, LONG scrollX)
{
    SendMessageW(view, WM_VSCROLL, SB_BOTTOM, 0);
    POINT point = ScrollPoint(view);
    if (point.x == scrollX)
        return;
    point.x = scrollX;
    SendMessageW(view, EM_SETSCROLLPOS, 0, (LPARAM)&point);
}

// Characters of the first `lines` lines of the view (all of them when it has
// no more).
static LONG CharsOfLines(HWND view, LONG lines)
{
    if (lines <= 0)
        return 0;
    LONG start = (LONG)SendMessageW(view, EM_LINEINDEX, lines, 0);
    if (start >= 0)
        return start;
    GETTEXTLENGTHEX query = {GTL_NUMCHARS | GTL_PRECISE, 1200};
    return (LONG)SendMessageW(view, EM_GETTEXTLENGTHEX, (WPARAM)&query, 0);
}

// Cuts the view back to its newest `keptLines` lines once it holds more
// than `maxLines` (the empty last line counted); returns the lines removed
// from the top and, in *removedChars, their characters.
static LONG TrimView(HWND view, LONG maxLines, LONG keptLines, LONG* removedChars)
{
    *removedChars = 0;
    LONG lines = (LONG)SendMessageW(view, EM_GETLINECOUNT, 0, 0);
    if (lines <= maxLines)
        return 0;
    LONG cut = (LONG)SendMessageW(view, EM_LINEINDEX, lines - keptLines, 0);
    if (cut <= 0)
        return 0;
    SendMessageW(view, EM_SETSEL, 0, cut);
    SendMessageW(view, EM_REPLACESEL, FALSE, (LPARAM)L"");
    *removedChars = cut;
    return lines - keptLines;
}

static LONG MoveUp(LONG position, LONG by)
{
    return position > by ? position - by : 0;
}

void StreamIntoView(HWND view, const RtfBuffer* buffer, BOOL replace, LONG shift, LONG maxLines,
                    LONG keptLines)
{
    if (buffer->data == nullptr || buffer->length == 0 || buffer->failed)
        return;

    ViewPlace place = CaptureViewPlace(view);
    CHARRANGE selection = {};
    SendMessageW(view, EM_EXGETSEL, 0, (LPARAM)&selection);
    BOOL otherLines = replace && shift == VIEW_OTHER_LINES;
    if (!replace)
        shift = 0;
    // The view's lines that the document no longer holds, or (negative) the
    // lines it holds before them; their characters move the selection.
    LONG shiftChars = otherLines ? 0 : CharsOfLines(view, shift);

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
    if (!otherLines && shift < 0)
        shiftChars = -CharsOfLines(view, -shift);

    LONG removedChars = 0;
    LONG removedLines = TrimView(view, maxLines, keptLines, &removedChars);
    if (!otherLines) {
        shift += removedLines;
        shiftChars += removedChars;
    }

    SendMessageW(view, EM_SETREADONLY, TRUE, 0);
    SendMessageW(view, EM_SETEVENTMASK, 0, oldMask);
    SendMessageW(view, WM_SETREDRAW, TRUE, 0);

    BOOL selected = selection.cpMin != selection.cpMax;
    if (otherLines) {
        SendMessageW(view, EM_SETSEL, (WPARAM)-1, 0);
        ScrollToEnd(view, place.scrollX);
    } else if (!selected && liveState.autoScroll && place.atEnd) {
        if (replace)
            SendMessageW(view, EM_SETSEL, (WPARAM)-1, 0);
        ScrollToEnd(view, place.scrollX);
    } else {
        // The same text stays selected and the same line first on screen,
        // wherever the document put them; a first line that was cut leaves
        // the view at its top.
        if (selected || replace) {
            selection.cpMin = MoveUp(selection.cpMin, shiftChars);
            selection.cpMax = MoveUp(selection.cpMax, shiftChars);
            SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&selection);
        }
        if (place.firstLine >= shift)
            ScrollToLine(view, place.firstLine - shift, place.lineOffset, place.scrollX);
        else
            ScrollToLine(view, 0, 0, place.scrollX);
    }
    // The frame too: the scroll bars changed while redrawing was off.
    RedrawWindow(view, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
}
