// Helpers shared by the Live Tracing tests (header only: each tests/*.cpp is
// its own executable): the theme setting guard, and reading a real rich-edit
// control and status bar as the user sees them.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include <string>
#include <vector>

#include "test_support/theme_setting.h"

// The text of a rich-edit control, one string per paragraph; the empty last
// paragraph that ends every rich text is left out.
inline std::vector<std::wstring> RichEditLines(HWND edit)
{
    GETTEXTLENGTHEX lengthQuery = {GTL_NUMCHARS | GTL_PRECISE, 1200};
    LRESULT length = SendMessageW(edit, EM_GETTEXTLENGTHEX, (WPARAM)&lengthQuery, 0);
    std::vector<WCHAR> text(length + 1);
    GETTEXTEX query = {};
    query.cb = (DWORD)(text.size() * sizeof(WCHAR));
    query.flags = GT_DEFAULT;
    query.codepage = 1200;
    SendMessageW(edit, EM_GETTEXTEX, (WPARAM)&query, (LPARAM)text.data());
    std::vector<std::wstring> lines;
    std::wstring line;
    for (const WCHAR* c = text.data(); *c != L'\0'; ++c) {
        if (*c == L'\r') {
            lines.push_back(line);
            line.clear();
        } else if (*c != L'\n') {
            line += *c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// Character format of the character at `index`, as the control shows it.
inline CHARFORMAT2W RichEditFormatAt(HWND edit, LONG index)
{
    CHARRANGE range = {index, index + 1};
    SendMessageW(edit, EM_EXSETSEL, 0, (LPARAM)&range);
    CHARFORMAT2W format = {};
    format.cbSize = sizeof(format);
    SendMessageW(edit, EM_GETCHARFORMAT, SCF_SELECTION, (LPARAM)&format);
    return format;
}

inline LONG RichEditLineStart(HWND edit, int line)
{
    return (LONG)SendMessageW(edit, EM_LINEINDEX, line, 0);
}

inline std::wstring StatusBarText(HWND statusBar, int part)
{
    LRESULT length = LOWORD(SendMessageW(statusBar, SB_GETTEXTLENGTHW, part, 0));
    std::vector<WCHAR> text(length + 1);
    SendMessageW(statusBar, SB_GETTEXTW, part, (LPARAM)text.data());
    return text.data();
}
