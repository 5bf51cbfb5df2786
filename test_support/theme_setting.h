// The user's app theme for a test: sets "AppsUseLightTheme" and puts back
// what was there, keys included, when the guard ends. Header only.
#pragma once

#include <windows.h>

#include <string>

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
