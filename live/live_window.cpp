// Live Tracing window: opening, commands, timers and teardown.
#include "live/live_window.h"

#include <commctrl.h>
#include <richedit.h>
#include <wchar.h>

#include "app/main_dialog.h"
#include "common/system_text.h"
#include "common/wide_format.h"
#include "live/line_format.h"
#include "live/line_store.h"
#include "live/log_view.h"
#include "live/live_consumer.h"
#include "live/live_context_menu.h"
#include "live/live_layout.h"
#include "live/live_save.h"
#include "live/live_state.h"
#include "live/live_view.h"
#include "live/status_bar.h"
#include "res/resource.h"
#include "theme/theme_palette.h"
#include "theme/theme_window.h"
#include "tracing/trace_session.h"

#define LIVE_VIEW_TEXT_LIMIT    0x3FFFFFFF
#define LIVE_FIND_LIMIT         (LIVE_FIND_TEXT_UNITS - 1)
#define LIVE_FONT_POINTS        9
#define LIVE_DEFAULT_LEVEL_ITEM 4   // "Verbose"
#define LOG_VIEW_LEVEL          5   // a log is opened showing every level
#define LOG_TITLE_UNITS         128

struct LevelItem {
    const WCHAR* text;
    BYTE level;
};

static const LevelItem kLevelItems[] = {
    {L"Critical", 1}, {L"Error", 2}, {L"Warning", 3}, {L"Information", 4}, {L"Verbose", 5},
};

static void ShowLiveMessage(HWND owner, const WCHAR* text, UINT icon)
{
    MessageBoxW(owner, text, LIVE_CAPTION, icon);
}

static HWND LiveView(HWND window)
{
    return GetDlgItem(window, IDC_LIVE_VIEW);
}

// --- Opening ------------------------------------------------------------

static int CALLBACK NoteFontFamily(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found)
{
    *(BOOL*)found = TRUE;
    return 0;   // the first family is enough
}

static BOOL HasConsolas()
{
    HDC screen = GetDC(nullptr);
    if (screen == nullptr)
        return FALSE;
    LOGFONTW wanted = {};
    wanted.lfCharSet = DEFAULT_CHARSET;
    wcscpy(wanted.lfFaceName, L"Consolas");
    BOOL found = FALSE;
    EnumFontFamiliesExW(screen, &wanted, NoteFontFamily, (LPARAM)&found, 0);
    ReleaseDC(nullptr, screen);
    return found;
}

static void SetViewFont(HWND view)
{
    wcscpy(liveState.fontFace, HasConsolas() ? L"Consolas" : L"Courier New");
    int pixelsPerInch = 96;
    HDC viewDc = GetDC(view);
    if (viewDc != nullptr) {
        pixelsPerInch = GetDeviceCaps(viewDc, LOGPIXELSY);
        ReleaseDC(view, viewDc);
    }
    HFONT font = CreateFontW(-MulDiv(LIVE_FONT_POINTS, pixelsPerInch, 72), 0, 0, 0, FW_NORMAL,
                             FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, FIXED_PITCH | FF_MODERN,
                             liveState.fontFace);
    if (font == nullptr)
        return;
    liveState.viewFont = font;
    SendMessageW(view, WM_SETFONT, (WPARAM)font, TRUE);
}

static void SetViewBackground(HWND view)
{
    COLORREF background = IsDarkTheme() ? DarkControlColor : GetSysColor(COLOR_WINDOW);
    SendMessageW(view, EM_SETBKGNDCOLOR, 0, background);
}

static void SetUpView(HWND view)
{
    SendMessageW(view, EM_EXLIMITTEXT, 0, LIVE_VIEW_TEXT_LIMIT);
    SetViewBackground(view);
    SendMessageW(view, EM_SETUNDOLIMIT, 0, 0);
    SendMessageW(view, EM_SETEVENTMASK, 0, 0);
    liveState.oldRichEditProc =
        (WNDPROC)SetWindowLongPtrW(view, GWLP_WNDPROC, (LONG_PTR)RichEditSubclassProc);
}

// Selects the item of `level` (compared as one byte), else "Verbose", and
// makes it the level filter.
static void FillLevelCombo(HWND window, BYTE level)
{
    HWND combo = GetDlgItem(window, IDC_LIVE_LEVEL);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    int selected = LIVE_DEFAULT_LEVEL_ITEM;
    for (int i = 0; i < (int)(sizeof(kLevelItems) / sizeof(kLevelItems[0])); ++i) {
        LRESULT index = SendMessageW(combo, CB_ADDSTRING, 0, (LPARAM)kLevelItems[i].text);
        SendMessageW(combo, CB_SETITEMDATA, index, kLevelItems[i].level);
        if (kLevelItems[i].level == level)
            selected = i;
    }
    SendMessageW(combo, CB_SETCURSEL, selected, 0);
    liveState.levelFilter = kLevelItems[selected].level;
}

static void AddStartFailureLines(DWORD error)
{
    WCHAR description[SYSTEM_TEXT_UNITS];
    FormatSystemText(error, description, SYSTEM_TEXT_UNITS);
    AddStatusLine(L"Unable to start the trace (0x%08X - %s)", error, description);
    AddStatusLine(L"Note : it is recommended to try again to see if the error persists.");
}

// The live session and its consumer; failures become status lines, the
// window stays open.
static void StartLiveTracing(ULONG level)
{
    WCHAR logFile[MAX_PATH];
    BOOL started = GetLogFilePath(logFile, nullptr);
    if (!started)
        SetLastError(ERROR_BAD_PATHNAME);
    else
        started = StartTraceSession(FALSE, level);
    if (!started) {
        AddStartFailureLines(GetLastError());
        return;
    }
    liveState.consumerThread = CreateThread(nullptr, 0, ConsumerThreadProc, nullptr, 0, nullptr);
    if (liveState.consumerThread == nullptr)
        AddStatusLine(L"Unable to start the consumer thread (0x%08X).", GetLastError());
    SetTimer(liveState.window, LIVE_LOSS_TIMER, LIVE_LOSS_MS, nullptr);
}

// Asks ETW what it dropped of the session's events (never under storeLock:
// the query may wait for the system). A growth is told once by a line where
// it happened and kept in the status bar; a query that fails is left alone.
static void CheckEtwLosses()
{
    TraceSessionLosses losses;
    if (QueryTraceSession(FALSE, &losses) != ERROR_SUCCESS)
        return;
    ULONG64 events = losses.eventsLost;
    ULONG64 buffers = (ULONG64)losses.realTimeBuffersLost + losses.logBuffersLost;
    if (events <= liveState.etwEventsTold && buffers <= liveState.etwBuffersTold)
        return;
    const WCHAR* since = liveState.etwEventsTold == 0 && liveState.etwBuffersTold == 0 ? L"the trace started"
                                                                                      : L"the last such line";
    if (buffers == liveState.etwBuffersTold)
        AddStatusLine(L"ETW dropped %I64u event(s) since %s: the consumer or the system could not keep up, lines "
                      L"are missing here.", events - liveState.etwEventsTold, since);
    else
        AddStatusLine(L"ETW dropped %I64u event(s) and %I64u buffer(s) of events since %s: the consumer or the "
                      L"system could not keep up, lines are missing here.",
                      events - liveState.etwEventsTold, buffers - liveState.etwBuffersTold, since);
    liveState.etwEventsTold = liveState.etwEventsLost = events;
    liveState.etwBuffersTold = liveState.etwBuffersLost = buffers;
    // The third part of the status bar now has more to say.
    SetStatusBarParts(liveState.statusBar);
    UpdateStatusBar();
}

static void ResetLiveState(HWND window)
{
    liveState.paused = FALSE;
    liveState.window = window;
    liveState.autoScroll = TRUE;
    liveState.nextToRender = 0;
    liveState.lostBeforeRender = 0;
    liveState.findText[0] = L'\0';
    liveState.showOnlyPid = 0;
    liveState.hiddenPidCount = 0;
    liveState.contextPid = 0;
    liveState.viewMaxLines = LIVE_VIEW_MAX_LINES;
    liveState.viewKeptLines = LIVE_VIEW_KEPT_LINES;
    liveState.etwEventsLost = 0;
    liveState.etwBuffersLost = 0;
    liveState.etwEventsTold = 0;
    liveState.etwBuffersTold = 0;
    liveState.stopReading = FALSE;
    liveState.logRead = FALSE;
    liveState.logEvents = 0;
    liveState.logFirst = FILETIME{};
    liveState.logLast = FILETIME{};
    // The zone may have changed while no window listened.
    RefreshZoneCache();
}

static void SetWindowIcon(HWND window)
{
    HICON icon = LoadIconW(appInstance, MAKEINTRESOURCEW(IDI_APP));
    if (icon == nullptr)
        return;
    SendMessageW(window, WM_SETICON, ICON_SMALL, (LPARAM)icon);
    SendMessageW(window, WM_SETICON, ICON_BIG, (LPARAM)icon);
}

// The log mode's title: the file's name, or how many files.
static void SetLogTitle(HWND window, const LogViewSource* source)
{
    WCHAR title[LOG_TITLE_UNITS];
    if (source->count == 1) {
        const WCHAR* name = wcsrchr(source->paths[0], L'\\');
        FormatTruncating(title, LOG_TITLE_UNITS, L"Log Viewer - %s", name != nullptr ? name + 1 : source->paths[0]);
    } else {
        FormatTruncating(title, LOG_TITLE_UNITS, L"Log Viewer - %u files", source->count);
    }
    SetWindowTextW(window, title);
}

// Log files are read instead of a live session; nothing waits to be shown,
// so there is nothing to pause.
static void StartLogReading(HWND window, const LogViewSource* source)
{
    SetLogTitle(window, source);
    EnableWindow(GetDlgItem(window, IDC_LIVE_PAUSE), FALSE);
    liveState.consumerThread = CreateThread(nullptr, 0, LogReaderThreadProc, (LPVOID)source, 0, nullptr);
    if (liveState.consumerThread == nullptr)
        AddStatusLine(L"Unable to start the reader thread (0x%08X).", GetLastError());
}

// `source` null: live tracing at `level`; else the log files it names.
static INT_PTR OnInitDialog(HWND window, LPARAM level, const LogViewSource* source)
{
    if (liveState.window != nullptr || liveState.consumerThread != nullptr) {
        ShowLiveMessage(window, L"A live tracing window is already running.", MB_ICONINFORMATION);
        EndDialog(window, 0);
        return FALSE;
    }
    ResetLiveState(window);
    liveState.logSource = source;
    if (!CreateLineStore(source != nullptr)) {
        ShowLiveMessage(window, source != nullptr ? L"Not enough memory to view the log."
                                                  : L"Not enough memory to start the live tracing.",
                        MB_ICONERROR);
        EndDialog(window, 0);
        return FALSE;
    }
    SetWindowIcon(window);

    HWND view = LiveView(window);
    SetViewFont(view);
    SetUpView(view);
    SendDlgItemMessageW(window, IDC_LIVE_FIND, EM_LIMITTEXT, LIVE_FIND_LIMIT, 0);
    CheckDlgButton(window, IDC_LIVE_AUTOSCROLL, BST_CHECKED);
    FillLevelCombo(window, (BYTE)level);

    liveState.statusBar = CreateWindowExW(0, STATUSCLASSNAMEW, nullptr,
                                          WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0,
                                          window, nullptr, appInstance, nullptr);
    CaptureLiveLayout(window);

    if (source != nullptr)
        StartLogReading(window, source);
    else
        StartLiveTracing((ULONG)level);

    SetTimer(window, LIVE_REFRESH_TIMER, LIVE_REFRESH_MS, nullptr);
    UpdateStatusBar();
    SetFocus(view);
    return FALSE;
}

// --- Commands -----------------------------------------------------------

static void OnPauseResume(HWND window)
{
    if (liveState.logSource != nullptr)
        return;
    liveState.paused = !liveState.paused;
    SetDlgItemTextW(window, IDC_LIVE_PAUSE, liveState.paused ? L"&Resume" : L"&Pause");
    if (liveState.paused)
        UpdateStatusBar();
    else
        AppendNewLines(window);
}

static void OnClear(HWND window)
{
    // One hold of storeLock for the store and the view cursor, so that a
    // line arriving during the clear is neither lost nor skipped by the view.
    // The critical section is reentrant: ClearLineStore takes it again.
    if (liveState.storeLockReady) {
        EnterCriticalSection(&liveState.storeLock);
        ClearLineStore();
        liveState.nextToRender = liveState.totalCount;
        liveState.lostBeforeRender = 0;
        LeaveCriticalSection(&liveState.storeLock);
    }
    HWND view = LiveView(window);
    SendMessageW(view, EM_SETREADONLY, FALSE, 0);
    SetWindowTextW(view, L"");
    SendMessageW(view, EM_SETREADONLY, TRUE, 0);
    UpdateStatusBar();
}

static void OnCopy(HWND window)
{
    HWND view = LiveView(window);
    CHARRANGE selection = {};
    SendMessageW(view, EM_EXGETSEL, 0, (LPARAM)&selection);
    if (selection.cpMin != selection.cpMax) {
        SendMessageW(view, WM_COPY, 0, 0);
        return;
    }
    // Putting the selection back scrolls to the caret: the view is put
    // back where the user had it too.
    ViewPlace place = CaptureViewPlace(view);
    SendMessageW(view, WM_SETREDRAW, FALSE, 0);
    SendMessageW(view, EM_SETSEL, 0, -1);
    SendMessageW(view, WM_COPY, 0, 0);
    SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&selection);
    RestoreViewPlace(view, &place);
    SendMessageW(view, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(view, nullptr, TRUE);
}

static void OnLevelChange(HWND window)
{
    HWND combo = GetDlgItem(window, IDC_LIVE_LEVEL);
    LRESULT selected = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (selected != CB_ERR)
        liveState.levelFilter = (BYTE)SendMessageW(combo, CB_GETITEMDATA, selected, 0);
    RebuildView(window, FALSE);
}

static void OnAutoScroll(HWND window)
{
    liveState.autoScroll = IsDlgButtonChecked(window, IDC_LIVE_AUTOSCROLL) == BST_CHECKED;
    if (liveState.autoScroll)
        SendMessageW(LiveView(window), WM_VSCROLL, SB_BOTTOM, 0);
}

static INT_PTR OnCommand(HWND window, WORD id, WORD code)
{
    switch (id) {
    case IDCANCEL:
        EndDialog(window, 0);
        return TRUE;
    case IDC_LIVE_PAUSE:
        OnPauseResume(window);
        return TRUE;
    case IDC_LIVE_CLEAR:
    case IDM_LIVE_CLEAR:
        OnClear(window);
        return TRUE;
    case IDC_LIVE_COPY:
    case IDM_LIVE_COPY:
        OnCopy(window);
        return TRUE;
    case IDC_LIVE_SAVE:
    case IDM_LIVE_SAVE:
        SaveLiveLines(window);
        return TRUE;
    case IDC_LIVE_LEVEL:
        if (code == CBN_SELCHANGE)
            OnLevelChange(window);
        return TRUE;
    case IDC_LIVE_FIND:
        // The filter applies once typing pauses (timer restarted per change).
        if (code == EN_CHANGE)
            SetTimer(window, LIVE_FIND_TIMER, LIVE_FIND_MS, nullptr);
        return TRUE;
    case IDC_LIVE_AUTOSCROLL:
        OnAutoScroll(window);
        return TRUE;
    case IDM_LIVE_SELECT_ALL:
        SendMessageW(LiveView(window), EM_SETSEL, 0, -1);
        return TRUE;
    case IDM_LIVE_SHOW_ONLY:
    case IDM_LIVE_HIDE:
    case IDM_LIVE_SHOW_ALL:
        ApplyProcessFilterCommand(window, id);
        return TRUE;
    }
    return FALSE;
}

// --- Timers, settings, teardown -----------------------------------------

static void OnTimer(HWND window, UINT_PTR timer)
{
    if (timer == LIVE_REFRESH_TIMER) {
        AppendNewLines(window);
    } else if (timer == LIVE_LOSS_TIMER) {
        CheckEtwLosses();
    } else if (timer == LIVE_FIND_TIMER) {
        KillTimer(window, LIVE_FIND_TIMER);
        GetDlgItemTextW(window, IDC_LIVE_FIND, liveState.findText, LIVE_FIND_TEXT_UNITS);
        RebuildView(window, FALSE);
    }
}

// The time zone may have changed: if it did, every line is shown again in
// the local time now in force for its date.
static void OnTimeChange(HWND window)
{
    if (!RefreshZoneCache())
        return;
    SetViewBackground(LiveView(window));
    RebuildView(window, TRUE);
}

static void OnSettingChange(HWND window, const WCHAR* area)
{
    if (area == nullptr)
        return;
    if (wcscmp(area, L"ImmersiveColorSet") == 0) {
        // The colour table of the documents follows the theme: render again.
        SetViewBackground(LiveView(window));
        RebuildView(window, TRUE);
    } else if (wcscmp(area, L"intl") == 0) {
        OnTimeChange(window);
    }
}

static void OnDestroy(HWND window)
{
    // A second window refused at opening owns nothing: the open window keeps
    // its session, its consumer and its store.
    if (liveState.window != nullptr && liveState.window != window)
        return;

    KillTimer(window, LIVE_REFRESH_TIMER);
    KillTimer(window, LIVE_FIND_TIMER);
    KillTimer(window, LIVE_LOSS_TIMER);
    // Ends the session, or the reading, so the thread's ProcessTrace returns.
    if (liveState.logSource != nullptr)
        StopLogReader();
    else
        StopTraceSession(FALSE);
    if (liveState.consumerThread != nullptr &&
        WaitForSingleObject(liveState.consumerThread, LIVE_CONSUMER_WAIT_MS) == WAIT_OBJECT_0) {
        CloseHandle(liveState.consumerThread);
        liveState.consumerThread = nullptr;
    }
    // A consumer still running keeps consumerThread set: the store's lock
    // stays and the next opening is refused until it has ended.
    DestroyLineStore();

    HWND view = LiveView(window);
    if (view != nullptr && liveState.oldRichEditProc != nullptr) {
        SetWindowLongPtrW(view, GWLP_WNDPROC, (LONG_PTR)liveState.oldRichEditProc);
        liveState.oldRichEditProc = nullptr;
    }
    if (liveState.viewFont != nullptr) {
        DeleteObject(liveState.viewFont);
        liveState.viewFont = nullptr;
    }
    liveState.statusBar = nullptr;
    liveState.window = nullptr;
    liveState.logSource = nullptr;
}

// Both modes of the window: `source` is the log files to read, given with
// WM_INITDIALOG only.
static INT_PTR HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                             const LogViewSource* source)
{
    INT_PTR themed;
    if (HandleThemeMessage(window, message, wParam, lParam, &themed))
        return themed;
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(window, source != nullptr ? LOG_VIEW_LEVEL : lParam, source);
    case WM_TIMER:
        OnTimer(window, wParam);
        return TRUE;
    case WM_COMMAND:
        return OnCommand(window, LOWORD(wParam), HIWORD(wParam));
    case WM_SIZE:
        if (wParam != SIZE_MINIMIZED)
            LayoutLiveWindow(window, LOWORD(lParam), HIWORD(lParam));
        return FALSE;
    case WM_GETMINMAXINFO:
        return SetLiveMinTrackSize((MINMAXINFO*)lParam);
    case WM_CONTEXTMENU:
        if ((HWND)wParam != LiveView(window))
            return FALSE;
        ShowLiveContextMenu(window, lParam);
        return TRUE;
    case WM_SETTINGCHANGE:
        OnSettingChange(window, (const WCHAR*)lParam);
        return FALSE;
    case WM_TIMECHANGE:
        OnTimeChange(window);
        return FALSE;
    case WM_CLOSE:
        EndDialog(window, 0);
        return TRUE;
    case WM_DESTROY:
        OnDestroy(window);
        return FALSE;
    }
    return FALSE;
}

INT_PTR CALLBACK LiveDlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return HandleMessage(window, message, wParam, lParam, nullptr);
}

INT_PTR CALLBACK LogViewDlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return HandleMessage(window, message, wParam, lParam,
                         message == WM_INITDIALOG ? (const LogViewSource*)lParam : nullptr);
}
