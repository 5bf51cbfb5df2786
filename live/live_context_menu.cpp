#include "live/live_context_menu.h"

#include <richedit.h>
#include <tlhelp32.h>
#include <wchar.h>

#include "common/wide_format.h"
#include "live/live_state.h"
#include "live/live_view.h"
#include "res/resource.h"

#define PID_COLUMN 19   // where the display format puts the process id

DWORD ParsePidFromLine(const WCHAR* text, size_t length)
{
    if (text == nullptr || length <= PID_COLUMN)
        return 0;
    size_t i = PID_COLUMN;
    while (i < length && text[i] == L' ')
        ++i;
    if (i == length || text[i] < L'0' || text[i] > L'9')
        return 0;
    // Accumulated beyond 32 bits: a run that does not fit must not wrap
    // into some other process's id.
    ULONG64 pid = 0;
    for (; i < length && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        pid = pid * 10 + (ULONG64)(text[i] - L'0');
        if (pid > 0xFFFFFFFFull)
            return 0;
    }
    if (i == length || text[i] != L':')
        return 0;
    return (DWORD)pid;
}

// "PID n (name)" with the executable's name without ".exe", or "PID n" when
// the process is not in a snapshot (gone, or no snapshot).
static void FormatProcessLabel(DWORD pid, WCHAR* label)
{
    WCHAR name[CONTEXT_EXE_UNITS] = L"";
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            if (entry.th32ProcessID != pid)
                continue;
            FormatTruncating(name, CONTEXT_EXE_UNITS, L"%s", entry.szExeFile);
            size_t length = wcslen(name);
            if (length > 4 && _wcsicmp(name + length - 4, L".exe") == 0)
                name[length - 4] = L'\0';
            break;
        }
        CloseHandle(snapshot);
    }
    if (name[0] != L'\0') {
        // A menu would take "&" for a mnemonic: "R&D" is written "R&&D".
        WCHAR shown[2 * CONTEXT_EXE_UNITS];
        size_t length = 0;
        for (const WCHAR* c = name; *c != L'\0'; ++c) {
            if (*c == L'&')
                shown[length++] = L'&';
            shown[length++] = *c;
        }
        shown[length] = L'\0';
        FormatTruncating(label, CONTEXT_LABEL_UNITS, L"PID %u (%s)", pid, shown);
    } else
        FormatTruncating(label, CONTEXT_LABEL_UNITS, L"PID %u", pid);
}

// The process id of the view line under a screen point, 0 when there is no
// line or no id.
static DWORD PidOfLineAt(HWND view, POINT screen)
{
    ScreenToClient(view, &screen);
    POINTL point = {screen.x, screen.y};
    LRESULT character = SendMessageW(view, EM_CHARFROMPOS, 0, (LPARAM)&point);
    if (character < 0)
        return 0;
    LRESULT line = SendMessageW(view, EM_EXLINEFROMCHAR, 0, character);
    if (line < 0)
        return 0;
    WCHAR text[CONTEXT_LINE_UNITS];
    *(WORD*)text = CONTEXT_LINE_UNITS;
    LRESULT copied = SendMessageW(view, EM_GETLINE, line, (LPARAM)text);
    if (copied <= 0)
        return 0;
    return ParsePidFromLine(text, copied < CONTEXT_LINE_UNITS ? (size_t)copied : CONTEXT_LINE_UNITS);
}

static void AppendItem(HMENU menu, UINT flags, UINT id, const WCHAR* format, const WCHAR* label)
{
    WCHAR text[CONTEXT_ITEM_UNITS];
    FormatTruncating(text, CONTEXT_ITEM_UNITS, format, label);
    AppendMenuW(menu, MF_STRING | flags, id, text);
}

void ShowLiveContextMenu(HWND window, LPARAM position)
{
    HWND view = GetDlgItem(window, IDC_LIVE_VIEW);
    POINT point = {(SHORT)LOWORD(position), (SHORT)HIWORD(position)};
    // The menu key or Shift+F10: the line near the view's top-left corner,
    // not the caret's.
    if (point.x == -1 && point.y == -1) {
        RECT viewRect = {};
        GetWindowRect(view, &viewRect);
        point.x = viewRect.left + CONTEXT_KEYBOARD_INSET;
        point.y = viewRect.top + CONTEXT_KEYBOARD_INSET;
    }
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr)
        return;

    liveState.contextPid = PidOfLineAt(view, point);
    if (liveState.contextPid != 0) {
        WCHAR label[CONTEXT_LABEL_UNITS];
        FormatProcessLabel(liveState.contextPid, label);
        AppendItem(menu, 0, IDM_LIVE_SHOW_ONLY, L"Show &only %s", label);
        AppendItem(menu, 0, IDM_LIVE_HIDE, L"&Hide %s", label);
    }
    BOOL filtered = liveState.showOnlyPid != 0 || liveState.hiddenPidCount != 0;
    AppendMenuW(menu, MF_STRING | (filtered ? 0 : MF_GRAYED), IDM_LIVE_SHOW_ALL, L"Show all &processes");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);

    CHARRANGE selection = {};
    SendMessageW(view, EM_EXGETSEL, 0, (LPARAM)&selection);
    AppendMenuW(menu, MF_STRING, IDM_LIVE_COPY,
                selection.cpMin == selection.cpMax ? L"&Copy all\tCtrl+C" : L"&Copy\tCtrl+C");
    AppendMenuW(menu, MF_STRING, IDM_LIVE_SELECT_ALL, L"Select &all\tCtrl+A");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_LIVE_SAVE, L"&Save...");
    AppendMenuW(menu, MF_STRING, IDM_LIVE_CLEAR, L"C&lear");

    TrackPopupMenu(menu, TPM_RIGHTBUTTON, point.x, point.y, 0, window, nullptr);
    DestroyMenu(menu);
}

static BOOL IsHidden(DWORD pid)
{
    for (DWORD i = 0; i < liveState.hiddenPidCount && i < LIVE_HIDDEN_PID_MAX; ++i) {
        if (liveState.hiddenPids[i] == pid)
            return TRUE;
    }
    return FALSE;
}

void ApplyProcessFilterCommand(HWND window, WORD id)
{
    DWORD pid = liveState.contextPid;
    switch (id) {
    case IDM_LIVE_SHOW_ONLY:
        if (pid == 0)
            return;
        // The two filters exclude each other.
        liveState.showOnlyPid = pid;
        liveState.hiddenPidCount = 0;
        break;
    case IDM_LIVE_HIDE:
        if (pid == 0 || IsHidden(pid))
            return;
        // A ninth process is not hidden, but the show-only filter still goes.
        if (liveState.hiddenPidCount < LIVE_HIDDEN_PID_MAX)
            liveState.hiddenPids[liveState.hiddenPidCount++] = pid;
        liveState.showOnlyPid = 0;
        break;
    case IDM_LIVE_SHOW_ALL:
        liveState.showOnlyPid = 0;
        liveState.hiddenPidCount = 0;
        break;
    default:
        return;
    }
    RebuildView(window, FALSE);
}

LRESULT CALLBACK RichEditSubclassProc(HWND view, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CONTEXTMENU:
        ShowLiveContextMenu(GetParent(view), lParam);
        return 0;
    case WM_GETDLGCODE:
        // Tab moves on, Enter and Escape reach the dialog.
        return CallWindowProcW(liveState.oldRichEditProc, view, message, wParam, lParam) &
               ~(LRESULT)(DLGC_WANTTAB | DLGC_WANTALLKEYS);
    case WM_KEYDOWN:
        if (GetKeyState(VK_CONTROL) < 0 && wParam == 'A') {
            SendMessageW(view, EM_SETSEL, 0, -1);
            return 0;
        }
        if (GetKeyState(VK_CONTROL) < 0 && wParam == 'F') {
            HWND window = GetParent(view);
            SendMessageW(window, WM_NEXTDLGCTL, (WPARAM)GetDlgItem(window, IDC_LIVE_FIND), TRUE);
            return 0;
        }
        break;
    }
    return CallWindowProcW(liveState.oldRichEditProc, view, message, wParam, lParam);
}
