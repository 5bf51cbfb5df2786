#include "theme/theme_palette.h"

// Created on first use in the dark theme and kept until the process ends.
static HBRUSH darkWindowBrush;

BOOL IsDarkTheme()
{
    DWORD value = 1;
    DWORD size = sizeof(value);
    // Restricted to REG_DWORD: a string "0" is not a dark theme.
    LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, THEME_PERSONALIZE_KEY, THEME_LIGHT_VALUE,
                                  RRF_RT_REG_DWORD, nullptr, &value, &size);
    return status == ERROR_SUCCESS && value == 0;
}

HBRUSH GetDarkBackgroundBrush()
{
    if (!IsDarkTheme())
        return (HBRUSH)GetStockObject(WHITE_BRUSH);
    if (darkWindowBrush == nullptr)
        darkWindowBrush = CreateSolidBrush(DarkWindowColor);
    return darkWindowBrush;
}
