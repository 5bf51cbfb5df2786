// Helpers shared by the Live Tracing tests (header only: each tests/*.cpp is
// its own executable). The theme setting guard, and reading a real rich-edit
// control and status bar as the user sees them.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include <string>
#include <vector>

#include "theme/theme_palette.h"

// Sets "AppsUseLightTheme" for a test and puts back what was there, keys
// included, when it ends.
class ThemeSetting {
public:
    ThemeSetting()
    {
        // The first level of the path that does not exist yet, if any.
        std::wstring path;
        for (const WCHAR* part : {L"Software", L"\\Microsoft", L"\\Windows", L"\\CurrentVersion",
                                  L"\\Themes", L"\\Personalize"}) {
            path += part;
            HKEY key;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
                createdKey_ = path;
                return;
            }
            RegCloseKey(key);
        }
        DWORD size = sizeof(saved_);
        hadValue_ = RegGetValueW(HKEY_CURRENT_USER, THEME_PERSONALIZE_KEY, THEME_LIGHT_VALUE,
                                 RRF_RT_ANY | RRF_NOEXPAND, &savedType_, saved_, &size) == ERROR_SUCCESS;
        savedSize_ = size;
    }
    ~ThemeSetting()
    {
        if (!createdKey_.empty()) {
            RegDeleteTreeW(HKEY_CURRENT_USER, createdKey_.c_str());
        } else if (hadValue_) {
            Write(savedType_, saved_, savedSize_);
        } else {
            Remove();
        }
    }
    ThemeSetting(const ThemeSetting&) = delete;
    ThemeSetting& operator=(const ThemeSetting&) = delete;

    void SetDword(DWORD value) { Write(REG_DWORD, (const BYTE*)&value, sizeof(value)); }
    void SetDark(bool dark) { SetDword(dark ? 0 : 1); }
    void Write(DWORD type, const void* data, DWORD size)
    {
        RegSetKeyValueW(HKEY_CURRENT_USER, THEME_PERSONALIZE_KEY, THEME_LIGHT_VALUE, type, data, size);
    }
    void Remove() { RegDeleteKeyValueW(HKEY_CURRENT_USER, THEME_PERSONALIZE_KEY, THEME_LIGHT_VALUE); }

private:
    std::wstring createdKey_;
    bool hadValue_ = false;
    DWORD savedType_ = 0;
    DWORD savedSize_ = 0;
    BYTE saved_[256] = {};
};

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
