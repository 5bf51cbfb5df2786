#include "app/advanced_panel.h"

#include "app/main_dialog.h"
#include "res/resource.h"
#include "tracing/autologger.h"

BOOL CALLBACK ShowIfBelowProc(HWND child, LPARAM lParam)
{
    const FoldRecord* record = reinterpret_cast<const FoldRecord*>(lParam);
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    if (rect.top >= record->foldLine)
        ShowWindow(child, record->expanded ? SW_SHOW : SW_HIDE);
    return TRUE;
}

void SetAdvancedExpanded(HWND dialog, BOOL expanded)
{
    HWND button = GetDlgItem(dialog, IDC_ADVANCED);
    RECT buttonRect;
    GetWindowRect(button, &buttonRect);
    MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&buttonRect), 2);

    FoldRecord record = {buttonRect.bottom, expanded};
    EnumChildWindows(dialog, ShowIfBelowProc, reinterpret_cast<LPARAM>(&record));

    RECT window;
    RECT client;
    GetWindowRect(dialog, &window);
    GetClientRect(dialog, &client);
    // Folded, the space under the button equals its distance from the left edge.
    int clientHeight = expanded ? mainDialog.expandedClientHeight : buttonRect.left + buttonRect.bottom;
    int height = clientHeight - client.bottom + (window.bottom - window.top);
    int width = window.right - window.left;

    int x = window.left;
    int y = window.top;
    RECT work;
    if (SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
        x = work.left + (work.right - work.left - width) / 2;
        y = work.top + (work.bottom - work.top - height) / 2;
        if (y < work.top)
            y = work.top;
    }
    SetWindowPos(dialog, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowTextW(button, expanded ? L"Advanced <<" : L"Advanced >>");
    mainDialog.advancedExpanded = expanded;
}

void UpdatePersistentStatus(HWND dialog)
{
    BOOL registered = IsPersistentTracingEnabled();
    HWND enable = GetDlgItem(dialog, IDC_ENABLE);
    HWND disable = GetDlgItem(dialog, IDC_DISABLE);
    HWND focus = GetFocus();
    EnableWindow(enable, !registered);
    EnableWindow(disable, registered);
    // The button just pressed may now be disabled; keep the keyboard usable.
    if (focus != nullptr && (focus == enable || focus == disable) && !IsWindowEnabled(focus))
        SendMessageW(dialog, WM_NEXTDLGCTL, (WPARAM)(focus == enable ? disable : enable), TRUE);
    SetDlgItemTextW(dialog, IDC_PERSISTENT_STATUS,
                    registered ? L"Status : enabled. Traces are being written to disk."
                               : L"Status : disabled. Nothing is being written to disk.");
}
