#include "app/main_dialog.h"

#include <commctrl.h>
#include <shellapi.h>
#include <stdlib.h>
#include <evntrace.h>

#include "app/advanced_panel.h"
#include "app/banner.h"
#include "app/error_box.h"
#include "common/wide_format.h"
#include "export/log_export.h"
#include "live/live_window.h"
#include "live/log_view.h"
#include "res/resource.h"
#include "theme/theme_window.h"
#include "tracing/autologger.h"

MainDialogState mainDialog;

namespace {

#define NOTICE_UNITS 128
const UINT kCopyGlobalData = 0x0049;    // WM_COPYGLOBALDATA: carries a drop's file list
const int kDefaultLevel = 4;  // Information

struct LevelRow {
    const WCHAR* text;
    ULONG level;
};

const LevelRow kLevelTable[] = {
    {L"Critical", 1}, {L"Error", 2}, {L"Warning", 3}, {L"Information", 4}, {L"Verbose", 5},
};

void FillLevelCombo(HWND dialog)
{
    HWND combo = GetDlgItem(dialog, IDC_LEVEL);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    LRESULT selected = 0;
    for (const LevelRow& row : kLevelTable) {
        LRESULT index = SendMessageW(combo, CB_ADDSTRING, 0, (LPARAM)row.text);
        SendMessageW(combo, CB_SETITEMDATA, index, row.level);
        if (row.level == kDefaultLevel)
            selected = index;
    }
    SendMessageW(combo, CB_SETCURSEL, selected, 0);
}

void MakeLiveButtonBold(HWND dialog)
{
    HWND button = GetDlgItem(dialog, IDC_LIVE_TRACING);
    HFONT font = (HFONT)SendMessageW(button, WM_GETFONT, 0, 0);
    LOGFONTW logFont;
    if (font == nullptr || GetObjectW(font, sizeof(logFont), &logFont) != sizeof(logFont))
        return;
    logFont.lfWeight = FW_BOLD;
    mainDialog.liveButtonFont = CreateFontIndirectW(&logFont);
    if (mainDialog.liveButtonFont != nullptr)
        SendMessageW(button, WM_SETFONT, (WPARAM)mainDialog.liveButtonFont, TRUE);
}

BOOL OnInitDialog(HWND dialog)
{
    WCHAR notice[NOTICE_UNITS];
    FormatCutting(notice, NOTICE_UNITS, L"Version %S  -  traces stay local until you save them",
                  QV_VERSION_A);
    SetDlgItemTextW(dialog, IDC_NOTICE, notice);

    UpdatePersistentStatus(dialog);
    SetUpBanner();
    FillLevelCombo(dialog);

    HICON icon = LoadIconW(appInstance, MAKEINTRESOURCEW(IDI_APP));
    if (icon != nullptr) {
        SendMessageW(dialog, WM_SETICON, ICON_SMALL, (LPARAM)icon);
        SendMessageW(dialog, WM_SETICON, ICON_BIG, (LPARAM)icon);
    }
    MakeLiveButtonBold(dialog);

    SendMessageW(dialog, DM_SETDEFID, IDC_LIVE_TRACING, 0);
    SetFocus(GetDlgItem(dialog, IDC_LIVE_TRACING));

    // Log files dropped from Explorer open the log view. The program runs
    // elevated: the drop's messages from a normal Explorer must be let in.
    DragAcceptFiles(dialog, TRUE);
    static const UINT kDropMessages[] = {WM_DROPFILES, WM_COPYDATA, kCopyGlobalData};
    for (UINT message : kDropMessages)
        ChangeWindowMessageFilterEx(dialog, message, MSGFLT_ALLOW, nullptr);

    RECT client;
    GetClientRect(dialog, &client);
    mainDialog.expandedClientHeight = client.bottom;
    SetAdvancedExpanded(dialog, FALSE);
    return FALSE;  // the focus was set here
}

// riched20.dll for the tracing window, loaded once; FALSE after telling the
// user, owned by `owner`, that the window cannot be shown.
BOOL LoadRichEdit(HWND owner)
{
    if (mainDialog.richEditModule != nullptr)
        return TRUE;
    // The system's copy only: the program runs elevated, and a riched20.dll
    // beside it must not be loaded.
    mainDialog.richEditModule = LoadLibraryExW(L"riched20.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (mainDialog.richEditModule != nullptr)
        return TRUE;
    MessageBoxW(owner, L"Unable to load riched20.dll, the live tracing window cannot be displayed.",
                L"Live Tracing", MB_ICONERROR);
    return FALSE;
}

void OpenLiveTracing(HWND dialog)
{
    HWND combo = GetDlgItem(dialog, IDC_LEVEL);
    LRESULT selection = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    LPARAM level = selection == CB_ERR ? kDefaultLevel : SendMessageW(combo, CB_GETITEMDATA, selection, 0);
    if (LoadRichEdit(dialog))
        DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_LIVE), dialog, LiveDlgProc, level);
}

// The tracing window on log files; without an owner it stands alone (files
// given on the command line).
void ViewLogFiles(HWND owner, const WCHAR* const* paths, DWORD count, BOOL persistent)
{
    LogViewSource source = {paths, count, persistent, 0};
    if (LoadRichEdit(owner))
        DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_LIVE), owner, LogViewDlgProc, (LPARAM)&source);
}

void ViewPersistentLog(HWND dialog)
{
    WCHAR paths[LOG_VIEW_PERSISTENT_FILES][MAX_PATH];
    if (!GetPersistentLogPaths(paths)) {
        SHOW_ERROR_BOX(dialog, GetLastError());
        return;
    }
    const WCHAR* list[LOG_VIEW_PERSISTENT_FILES];
    for (int i = 0; i < LOG_VIEW_PERSISTENT_FILES; ++i)
        list[i] = paths[i];
    ViewLogFiles(dialog, list, LOG_VIEW_PERSISTENT_FILES, TRUE);
}

// Paths of `count` files into one block: `count` pointers, then the texts.
// Free it with free().
const WCHAR** AllocatePathList(DWORD count)
{
    return (const WCHAR**)malloc(count * (sizeof(WCHAR*) + MAX_PATH * sizeof(WCHAR)));
}

WCHAR* PathOfList(const WCHAR** list, DWORD count, DWORD i)
{
    return (WCHAR*)(list + count) + (size_t)i * MAX_PATH;
}

void ViewDroppedFiles(HWND dialog, HDROP drop)
{
    DWORD count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    const WCHAR** list = count != 0 ? AllocatePathList(count) : nullptr;
    for (DWORD i = 0; list != nullptr && i < count; ++i) {
        list[i] = PathOfList(list, count, i);
        if (DragQueryFileW(drop, i, PathOfList(list, count, i), MAX_PATH) == 0)
            PathOfList(list, count, i)[0] = L'\0';
    }
    DragFinish(drop);
    if (list != nullptr)
        ViewLogFiles(dialog, list, count, FALSE);
    free(list);
}

void OnCommand(HWND dialog, WORD id)
{
    switch (id) {
    case IDC_ENABLE:
        // Persistent tracing always records everything; the Level combo is
        // for live tracing only.
        if (!EnablePersistentTracing(TRACE_LEVEL_VERBOSE))
            SHOW_ERROR_BOX(dialog, GetLastError());
        UpdatePersistentStatus(dialog);
        break;
    case IDC_DISABLE:
        if (!DisablePersistentTracing())
            SHOW_ERROR_BOX(dialog, GetLastError());
        UpdatePersistentStatus(dialog);
        break;
    case IDC_SAVE_LOG:
        SaveLog(dialog);
        break;
    case IDC_VIEW_LOG:
        ViewPersistentLog(dialog);
        break;
    case IDC_LIVE_TRACING:
        OpenLiveTracing(dialog);
        break;
    case IDC_ADVANCED:
        SetAdvancedExpanded(dialog, !mainDialog.advancedExpanded);
        break;
    default:
        // IDCANCEL included: Escape does not close the main dialog.
        break;
    }
}

void OnDestroy()
{
    if (mainDialog.liveButtonFont != nullptr) {
        DeleteObject(mainDialog.liveButtonFont);
        mainDialog.liveButtonFont = nullptr;
    }
    TearDownBanner();
}

// Files given on the command line ("Open with" too): the log view on them
// alone, each path made full so that its status line names it wholly.
// FALSE when there are none.
BOOL ViewCommandLineFiles()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 2) {
        LocalFree(argv);
        return FALSE;
    }
    DWORD count = (DWORD)argc - 1;
    const WCHAR** list = AllocatePathList(count);
    for (DWORD i = 0; list != nullptr && i < count; ++i) {
        list[i] = PathOfList(list, count, i);
        DWORD length = GetFullPathNameW(argv[i + 1], MAX_PATH, PathOfList(list, count, i), nullptr);
        if (length == 0 || length >= MAX_PATH)
            FormatTruncating(PathOfList(list, count, i), MAX_PATH, L"%s", argv[i + 1]);
    }
    if (list != nullptr)
        ViewLogFiles(nullptr, list, count, FALSE);
    free(list);
    LocalFree(argv);
    return TRUE;
}

}  // namespace

int RunQuorvelTrace(HINSTANCE instance)
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    appInstance = instance;
    if (ViewCommandLineFiles())
        return 0;
    return (int)DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDlgProc, 0);
}

INT_PTR CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    INT_PTR themed;
    if (HandleThemeMessage(dialog, message, wParam, lParam, &themed))
        return themed;
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(dialog);
    case WM_COMMAND:
        OnCommand(dialog, LOWORD(wParam));
        return 0;
    case WM_DROPFILES:
        ViewDroppedFiles(dialog, (HDROP)wParam);
        return 0;
    case WM_DRAWITEM:
        if (((const DRAWITEMSTRUCT*)lParam)->CtlID != IDC_BANNER)
            return FALSE;
        DrawBanner((const DRAWITEMSTRUCT*)lParam);
        return TRUE;
    case WM_CLOSE:
        EndDialog(dialog, 0);
        return TRUE;
    case WM_DESTROY:
        OnDestroy();
        return FALSE;
    }
    return FALSE;
}
