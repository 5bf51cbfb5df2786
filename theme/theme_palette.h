// Theme detection and the dark palette. GUI thread only (the brush cache
// takes no lock).
#pragma once

#include <windows.h>

#define THEME_PERSONALIZE_KEY   L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize"
#define THEME_LIGHT_VALUE       L"AppsUseLightTheme"

const COLORREF DarkWindowColor  = RGB(32, 32, 32);
const COLORREF DarkControlColor = RGB(43, 43, 43);
const COLORREF DarkTextColor    = RGB(232, 232, 232);
const COLORREF DarkDividerColor = RGB(80, 80, 80);

// TRUE when the user's app theme is dark ("AppsUseLightTheme" is a DWORD 0).
// Reads the registry on every call; nothing is cached. Never fails: any
// error means light.
BOOL IsDarkTheme();

// The background brush of windows and dialogs: a cached DarkWindowColor
// brush in the dark theme, the stock WHITE_BRUSH otherwise. Callers never
// delete it. Null only when the dark brush cannot be created (the next call
// tries again).
HBRUSH GetDarkBackgroundBrush();
