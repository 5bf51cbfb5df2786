#include "theme/list_view_theme.h"

#include <commctrl.h>

#include "theme/theme_palette.h"

namespace {

#define HEADER_TEXT_UNITS   128
#define HEADER_TEXT_LEFT    6       // text inset from the item's left edge
#define HEADER_TEXT_RIGHT   4       // and from its right edge
#define HEADER_TEXT_FORMAT  (DT_END_ELLIPSIS | DT_NOPREFIX | DT_SINGLELINE | DT_VCENTER)

void Fill(HDC dc, const RECT& rect, COLORREF color)
{
    HBRUSH brush = CreateSolidBrush(color);
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
}

// One header item: dark fill, a divider at its right edge and a line along
// its bottom, the title from the left whatever the column's alignment.
LRESULT DrawHeaderItem(const NMCUSTOMDRAW& draw)
{
    HWND header = draw.hdr.hwndFrom;
    WCHAR text[HEADER_TEXT_UNITS] = L"";
    HDITEMW item = {};
    item.mask = HDI_TEXT | HDI_FORMAT;
    item.pszText = text;
    item.cchTextMax = HEADER_TEXT_UNITS;
    SendMessageW(header, HDM_GETITEMW, draw.dwItemSpec, (LPARAM)&item);

    const RECT& rect = draw.rc;
    Fill(draw.hdc, rect, DarkControlColor);
    HPEN pen = CreatePen(PS_SOLID, 1, DarkDividerColor);
    HGDIOBJ oldPen = SelectObject(draw.hdc, pen);
    MoveToEx(draw.hdc, rect.right - 1, rect.top, nullptr);
    LineTo(draw.hdc, rect.right - 1, rect.bottom);
    MoveToEx(draw.hdc, rect.left, rect.bottom - 1, nullptr);
    LineTo(draw.hdc, rect.right, rect.bottom - 1);
    SelectObject(draw.hdc, oldPen);
    DeleteObject(pen);

    HFONT font = (HFONT)SendMessageW(header, WM_GETFONT, 0, 0);
    if (font == nullptr)
        font = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
    HGDIOBJ oldFont = SelectObject(draw.hdc, font);
    SetBkMode(draw.hdc, TRANSPARENT);
    SetTextColor(draw.hdc, DarkTextColor);
    RECT textRect = {rect.left + HEADER_TEXT_LEFT, rect.top, rect.right - HEADER_TEXT_RIGHT, rect.bottom};
    DrawTextW(draw.hdc, text, -1, &textRect, HEADER_TEXT_FORMAT);
    SelectObject(draw.hdc, oldFont);
    return CDRF_SKIPDEFAULT;
}

// The header's empty area right of its last item (all of it when it has none).
LRESULT FillHeaderRest(const NMCUSTOMDRAW& draw)
{
    HWND header = draw.hdr.hwndFrom;
    RECT rest = draw.rc;
    int count = (int)SendMessageW(header, HDM_GETITEMCOUNT, 0, 0);
    RECT last;
    if (count > 0 && SendMessageW(header, HDM_GETITEMRECT, count - 1, (LPARAM)&last))
        rest.left = last.right;
    Fill(draw.hdc, rest, DarkControlColor);
    return CDRF_DODEFAULT;
}

}  // namespace

void ThemeListView(HWND listView, BOOL dark)
{
    // The colours follow the setting as it is now; the subclass follows the
    // pass (which read it a moment ago).
    bool darkNow = IsDarkTheme();
    COLORREF background = darkNow ? DarkControlColor : GetSysColor(COLOR_WINDOW);
    SendMessageW(listView, LVM_SETBKCOLOR, 0, background);
    SendMessageW(listView, LVM_SETTEXTBKCOLOR, 0, background);
    SendMessageW(listView, LVM_SETTEXTCOLOR, 0, darkNow ? DarkTextColor : GetSysColor(COLOR_WINDOWTEXT));
    InvalidateRect(listView, nullptr, TRUE);
    if (dark)
        SetWindowSubclass(listView, ListViewHeaderSubclassProc, LIST_VIEW_HEADER_SUBCLASS_ID, 0);
    else
        RemoveWindowSubclass(listView, ListViewHeaderSubclassProc, LIST_VIEW_HEADER_SUBCLASS_ID);
}

LRESULT CALLBACK ListViewHeaderSubclassProc(HWND listView, UINT message, WPARAM wParam, LPARAM lParam,
                                            UINT_PTR id, DWORD_PTR)
{
    if (message == WM_NOTIFY) {
        const NMHDR* notice = (const NMHDR*)lParam;
        // The header is the list view's own child and notifies it.
        if (notice->code == NM_CUSTOMDRAW &&
            notice->hwndFrom == (HWND)SendMessageW(listView, LVM_GETHEADER, 0, 0) && IsDarkTheme()) {
            const NMCUSTOMDRAW& draw = *(const NMCUSTOMDRAW*)lParam;
            switch (draw.dwDrawStage) {
            case CDDS_PREPAINT:
                return CDRF_NOTIFYITEMDRAW | CDRF_NOTIFYPOSTPAINT;
            case CDDS_ITEMPREPAINT:
                return DrawHeaderItem(draw);
            case CDDS_POSTPAINT:
                return FillHeaderRest(draw);
            }
        }
    } else if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(listView, ListViewHeaderSubclassProc, id);
    }
    return DefSubclassProc(listView, message, wParam, lParam);
}
