// The user's app theme for a test: sets "AppsUseLightTheme" and puts back
// the value that was there, or removes it, when the guard ends.
#pragma once

#include <windows.h>

// The registry value Windows keeps the app theme in, written out here rather
// than taken from the program: a misspelt name there must fail the tests.
#define TEST_THEME_KEY   L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize"
#define TEST_THEME_VALUE L"AppsUseLightTheme"

class ThemeSetting {
public:
    ThemeSetting()
    {
        savedSize_ = sizeof(saved_);
        hadValue_ = RegGetValueW(HKEY_CURRENT_USER, TEST_THEME_KEY, TEST_THEME_VALUE, RRF_RT_ANY | RRF_NOEXPAND,
                                 &savedType_, saved_, &savedSize_) == ERROR_SUCCESS;
    }
    ~ThemeSetting() { hadValue_ ? Write(savedType_, saved_, savedSize_) : Remove(); }
    ThemeSetting(const ThemeSetting&) = delete;
    ThemeSetting& operator=(const ThemeSetting&) = delete;

    void SetDark(bool dark)
    {
        DWORD value = dark ? 0 : 1;
        Write(REG_DWORD, &value, sizeof(value));
    }
    void Write(DWORD type, const void* data, DWORD size)
    {
        RegSetKeyValueW(HKEY_CURRENT_USER, TEST_THEME_KEY, TEST_THEME_VALUE, type, data, size);
    }
    void Remove() { RegDeleteKeyValueW(HKEY_CURRENT_USER, TEST_THEME_KEY, TEST_THEME_VALUE); }

private:
    bool hadValue_ = false;
    DWORD savedType_ = 0;
    DWORD savedSize_ = 0;
    BYTE saved_[256] = {};
};
