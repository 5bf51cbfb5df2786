#include "theme/theme_api.h"

#include <dwmapi.h>

namespace {

const LONG kStatusNotImplemented = (LONG)0xC0000002;
const WORD kAllowDarkModeOrdinal = 135;

// Looked up at every call rather than kept: a call is rare (a theme pass)
// and a lookup is cheap.
FARPROC SystemFunction(const WCHAR* dll, const char* name)
{
    HMODULE module = GetModuleHandleW(dll);
    if (module == nullptr)
        module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module != nullptr ? GetProcAddress(module, name) : nullptr;
}

template <typename Function>
Function* Find(const WCHAR* dll, const char* name)
{
    return reinterpret_cast<Function*>(SystemFunction(dll, name));
}

}  // namespace

HRESULT ThemeSetWindowTheme(HWND window, const WCHAR* name, const WCHAR* subList)
{
    auto* function = Find<decltype(SetWindowTheme)>(L"uxtheme.dll", "SetWindowTheme");
    return function != nullptr ? function(window, name, subList) : E_NOTIMPL;
}

HTHEME ThemeOpenThemeData(HWND window, const WCHAR* classList)
{
    auto* function = Find<decltype(OpenThemeData)>(L"uxtheme.dll", "OpenThemeData");
    return function != nullptr ? function(window, classList) : nullptr;
}

HRESULT ThemeGetThemeColor(HTHEME theme, int part, int state, int property, COLORREF* color)
{
    auto* function = Find<decltype(GetThemeColor)>(L"uxtheme.dll", "GetThemeColor");
    return function != nullptr ? function(theme, part, state, property, color) : E_NOTIMPL;
}

void ThemeCloseThemeData(HTHEME theme)
{
    auto* function = Find<decltype(CloseThemeData)>(L"uxtheme.dll", "CloseThemeData");
    if (function != nullptr)
        function(theme);
}

HRESULT ThemeDwmSetWindowAttribute(HWND window, DWORD attribute, const void* value, DWORD size)
{
    auto* function = Find<decltype(DwmSetWindowAttribute)>(L"dwmapi.dll", "DwmSetWindowAttribute");
    return function != nullptr ? function(window, attribute, value, size) : E_NOTIMPL;
}

LONG ThemeRtlGetVersion(RTL_OSVERSIONINFOW* version)
{
    auto* function = Find<LONG WINAPI(RTL_OSVERSIONINFOW*)>(L"ntdll.dll", "RtlGetVersion");
    return function != nullptr ? function(version) : kStatusNotImplemented;
}

BOOL ThemeAllowDarkModeForApp(int allow)
{
    auto* function = Find<int WINAPI(int)>(L"uxtheme.dll", MAKEINTRESOURCEA(kAllowDarkModeOrdinal));
    if (function == nullptr)
        return FALSE;
    function(allow);
    return TRUE;
}
