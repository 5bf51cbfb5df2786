#include "app/main_dialog.h"

#include <commctrl.h>
#include <evntrace.h>

#include "app/advanced_panel.h"
#include "app/banner.h"
#include "app/error_box.h"
#include "common/wide_format.h"
#include "export/log_export.h"
#include "live/live_window.h"
#include "res/resource.h"
#include "theme/theme_window.h"
#include "tracing/autologger.h"

MainDialogState mainDialog;

namespace {

#define NOTICE_UNITS 128
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

    RECT client;
    GetClientRect(dialog, &client);
    mainDialog.expandedClientHeight = client.bottom;
    SetAdvancedExpanded(dialog, FALSE);
    return FALSE;  // the focus was set here
}

void OpenLiveTracing(HWND dialog)
{
    HWND combo = GetDlgItem(dialog, IDC_LEVEL);
    LRESULT selection = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    LPARAM level = selection == CB_ERR ? kDefaultLevel : SendMessageW(combo, CB_GETITEMDATA, selection, 0);

    if (mainDialog.richEditModule == nullptr) {
        // The system's copy only: the program runs elevated, and a
        // riched20.dll beside it must not be loaded.
        mainDialog.richEditModule = LoadLibraryExW(L"riched20.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (mainDialog.richEditModule == nullptr) {
            MessageBoxW(dialog, L"Unable to load riched20.dll, the live tracing window cannot be displayed.",
                        L"Live Tracing", MB_ICONERROR);
            return;
        }
    }
    DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_LIVE), dialog, LiveDlgProc, level);
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

}  // namespace

int RunQuorvelTrace(HINSTANCE instance)
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    appInstance = instance;
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
