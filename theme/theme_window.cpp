#include "theme/theme_window.h"

#include <vsstyle.h>
#include <vssym32.h>
#include <wchar.h>

#include "theme/list_view_theme.h"
#include "theme/theme_api.h"
#include "theme/theme_palette.h"

ThemeState themeState;

namespace {

#define CLASS_NAME_UNITS        32
#define FIRST_DARK_MODE_BUILD   17763   // Windows 10 1809
#define DARK_TITLE_BAR          20      // DWMWA_USE_IMMERSIVE_DARK_MODE
#define DARK_TITLE_BAR_BEFORE_20H1 19   // its number on earlier builds
#define FULL_REDRAW (RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW | RDW_FRAME)

const WCHAR kExplorerTheme[] = L"DarkMode_Explorer";
const WCHAR kDarkButtonTheme[] = L"DarkMode_DarkTheme";

// Dark themes of the classes that are not buttons; other classes (static
// controls, the status bar, ...) are never themed.
const struct {
    const WCHAR* className;
    const WCHAR* theme;
} kClassThemes[] = {
    {L"Edit", L"DarkMode_CFD"},
    {L"ComboBox", L"DarkMode_CFD"},
    {L"SysListView32", kExplorerTheme},
    {L"SysTreeView32", kExplorerTheme},
    {L"RichEdit20W", kExplorerTheme},
    {L"RichEdit20A", kExplorerTheme},
    {L"ScrollBar", kExplorerTheme},
};

bool HasClass(HWND window, const WCHAR* className)
{
    WCHAR name[CLASS_NAME_UNITS];
    return GetClassNameW(window, name, CLASS_NAME_UNITS) != 0 && lstrcmpiW(name, className) == 0;
}

// The app-wide opt-in into the system's dark mode. It has no documented
// entry point: the function at uxtheme ordinal 135, from build 17763 on.
// The build comes from RtlGetVersion because GetVersionEx reports an older
// Windows to a program without a compatibility manifest.
void OptInToDarkMode()
{
    if (themeState.osBuildNumber == 0) {
        RTL_OSVERSIONINFOW version = {};
        version.dwOSVersionInfoSize = sizeof(version);
        if (ThemeRtlGetVersion(&version) == 0)
            themeState.osBuildNumber = version.dwBuildNumber;
    }
    if (themeState.osBuildNumber >= FIRST_DARK_MODE_BUILD)
        ThemeAllowDarkModeForApp(TRUE);
}

// Only a dark theme that draws group-box captions light serves check boxes,
// radio buttons and group boxes.
void ProbeDarkButtonTheme()
{
    HTHEME theme = ThemeOpenThemeData(nullptr, L"DarkMode_DarkTheme::Button");
    if (theme == nullptr)
        return;
    COLORREF color;
    if (SUCCEEDED(ThemeGetThemeColor(theme, BP_GROUPBOX, GBS_NORMAL, TMT_TEXTCOLOR, &color)) &&
        GetGValue(color) > 128)
        themeState.darkButtonThemeUsable = TRUE;
    ThemeCloseThemeData(theme);
}

// Check boxes, radio buttons and group boxes.
void ThemeCheckOrGroupButton(HWND button, BOOL dark, bool checkBox)
{
    if (!dark) {
        SetControlTheme(button, FALSE, nullptr);
        return;
    }
    if (!themeState.darkButtonThemeUsable)
        ProbeDarkButtonTheme();
    // Without the dark button theme, radio buttons and group boxes are drawn
    // classically in the colours of WM_CTLCOLORSTATIC.
    const WCHAR* name = themeState.darkButtonThemeUsable ? kDarkButtonTheme : checkBox ? kExplorerTheme : L"";
    SetControlTheme(button, TRUE, name);
}

void ThemeButton(HWND button, BOOL dark)
{
    switch (GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) {
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
    case BS_3STATE:
    case BS_AUTO3STATE:
        ThemeCheckOrGroupButton(button, dark, true);
        break;
    case BS_RADIOBUTTON:
    case BS_GROUPBOX:
    case BS_AUTORADIOBUTTON:
        ThemeCheckOrGroupButton(button, dark, false);
        break;
    default:
        SetControlTheme(button, dark, kExplorerTheme);
        break;
    }
}

HBRUSH DarkControlBrush()
{
    if (themeState.darkControlBrush == nullptr)
        themeState.darkControlBrush = CreateSolidBrush(DarkControlColor);
    return themeState.darkControlBrush;
}

// The dark theme's colours for a WM_CTLCOLOR* message; null for the others
// (message boxes and scroll bars keep the system's).
HBRUSH DarkColors(UINT message, HDC dc, HWND control)
{
    // Read-only and disabled edit controls ask as statics.
    if (message == WM_CTLCOLORSTATIC && HasClass(control, L"Edit"))
        message = WM_CTLCOLOREDIT;
    switch (message) {
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
        SetTextColor(dc, DarkTextColor);
        SetBkColor(dc, DarkControlColor);
        return DarkControlBrush();
    case WM_CTLCOLORSTATIC:
        SetTextColor(dc, DarkTextColor);
        // A control drawn classically in the dark theme (a group box) needs
        // an opaque caption over its frame line.
        if (GetPropW(control, DARK_CONTROL_PROPERTY) != nullptr) {
            SetBkColor(dc, DarkWindowColor);
            SetBkMode(dc, OPAQUE);
        } else {
            SetBkMode(dc, TRANSPARENT);
        }
        return GetDarkBackgroundBrush();
    case WM_CTLCOLORBTN:
        SetBkMode(dc, TRANSPARENT);
        return GetDarkBackgroundBrush();
    case WM_CTLCOLORDLG:
        return GetDarkBackgroundBrush();
    }
    return nullptr;
}

}  // namespace

BOOL HandleThemeMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result)
{
    *result = 0;
    switch (message) {
    case WM_SETTINGCHANGE:
        // Windows announces a change of the app theme with this text.
        if (lParam != 0 && wcscmp((const WCHAR*)lParam, L"ImmersiveColorSet") == 0)
            ApplyWindowTheme(window);
        return FALSE;
    case WM_INITDIALOG:
        ApplyWindowTheme(window);
        return FALSE;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
        break;
    default:
        return FALSE;
    }
    if (!IsDarkTheme())
        return FALSE;
    *result = (INT_PTR)DarkColors(message, (HDC)wParam, (HWND)lParam);
    return TRUE;
}

void ApplyWindowTheme(HWND window)
{
    BOOL dark = IsDarkTheme();
    if (dark && !themeState.darkModeOptedIn) {
        themeState.darkModeOptedIn = TRUE;   // once, even when a piece is missing
        OptInToDarkMode();
    }
    if (FAILED(ThemeDwmSetWindowAttribute(window, DARK_TITLE_BAR, &dark, sizeof(dark))))
        ThemeDwmSetWindowAttribute(window, DARK_TITLE_BAR_BEFORE_20H1, &dark, sizeof(dark));
    EnumChildWindows(window, ThemeChildProc, dark);
    RedrawWindow(window, nullptr, nullptr, FULL_REDRAW);
}

BOOL CALLBACK ThemeChildProc(HWND child, LPARAM darkPass)
{
    BOOL dark = (BOOL)darkPass;
    WCHAR className[CLASS_NAME_UNITS];
    if (GetClassNameW(child, className, CLASS_NAME_UNITS) == 0)
        return TRUE;
    if (lstrcmpiW(className, L"Button") == 0) {
        ThemeButton(child, dark);
        return TRUE;
    }
    for (const auto& entry : kClassThemes) {
        if (lstrcmpiW(className, entry.className) != 0)
            continue;
        SetControlTheme(child, dark, entry.theme);
        if (lstrcmpiW(className, L"SysListView32") == 0)
            ThemeListView(child, dark);
        break;
    }
    return TRUE;
}

void SetControlTheme(HWND control, BOOL dark, const WCHAR* name)
{
    if (dark) {
        SetPropW(control, DARK_CONTROL_PROPERTY, (HANDLE)1);
        // An empty name with an empty sub-list switches visual styles off.
        ThemeSetWindowTheme(control, name, name != nullptr && name[0] == L'\0' ? L"" : nullptr);
        return;
    }
    if (RemovePropW(control, DARK_CONTROL_PROPERTY) == nullptr)
        return;
    ThemeSetWindowTheme(control, nullptr, nullptr);   // the default theme again
}
