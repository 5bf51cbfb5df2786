// The system's theming functions, taken from uxtheme.dll, dwmapi.dll and
// ntdll.dll at each call. The program runs elevated and must not import DLLs
// that are not among Windows' known DLLs: a copy planted beside the
// executable would run with administrator rights. Each DLL is taken from the
// process if it is loaded, else from System32 only, and stays loaded.
// GUI thread only. A missing DLL or function is reported as below, never
// shown to the user.
#pragma once

#include <windows.h>
#include <uxtheme.h>

// SetWindowTheme; E_NOTIMPL when it cannot be found.
HRESULT ThemeSetWindowTheme(HWND window, const WCHAR* name, const WCHAR* subList);
// OpenThemeData; null when it cannot be found.
HTHEME ThemeOpenThemeData(HWND window, const WCHAR* classList);
// GetThemeColor; E_NOTIMPL when it cannot be found.
HRESULT ThemeGetThemeColor(HTHEME theme, int part, int state, int property, COLORREF* color);
void ThemeCloseThemeData(HTHEME theme);
// DwmSetWindowAttribute; E_NOTIMPL when it cannot be found.
HRESULT ThemeDwmSetWindowAttribute(HWND window, DWORD attribute, const void* value, DWORD size);
// RtlGetVersion; STATUS_NOT_IMPLEMENTED when it cannot be found.
LONG ThemeRtlGetVersion(RTL_OSVERSIONINFOW* version);
// The uxtheme.dll function at ordinal 135 (lets the application use dark
// mode, from build 17763 on) called with `allow`; FALSE when it is missing.
BOOL ThemeAllowDarkModeForApp(int allow);
