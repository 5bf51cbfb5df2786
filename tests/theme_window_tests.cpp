// The dialogs, and the controls they lack in a window of the tests' own, on the test's thread: it answers their
// messages as they are sent. Wine lacks the dark pieces: a patched GetProcAddress hands fakes.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <set>

#include "app/banner.h"
#include "app/main_dialog.h"
#include "live/live_window.h"
#include "res/resource.h"
#include "test_support/import_patch.h"
#include "test_support/theme_setting.h"
#include "test_support/ui_driver.h"
#include "theme/theme_palette.h"
#include "theme/theme_window.h"

namespace {

struct System { // the system as the fakes play it
    DWORD build; // RtlGetVersion's; 0: there is none
    LONG versionStatus;
    BYTE groupBoxGreen; // of the dark button theme's group box text; 0: the theme does not open
    HRESULT titleBar20; // DwmSetWindowAttribute's answer to attribute 20
};
struct {
    System is;
    std::wstring calls; // what it was asked, in order
    std::wstring drawn; // texts drawn by DrawTextW, with their place, format, colour and font
} sys;
decltype(&GetProcAddress) realGetProcAddress;

template <typename... T>
std::wstring Join(const T&... numbers)
{
    return ((std::to_wstring(numbers) + L" ") + ...);
}

template <typename R>
R Log(const std::wstring& call, R result)
{
    sys.calls += call + L"; ";
    return result;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, const char* name)
{
    static const std::tuple<const WCHAR*, const char*, void*> kFakes[] = {
        {L"uxtheme.dll", "SetWindowTheme",
            (void*)+[](HWND, const WCHAR* name, const WCHAR* list) {
                return Log(std::wstring(name ? name : L"null") + L"|" + (list ? list : L"null"), S_OK);
            }},
        {L"uxtheme.dll", "OpenThemeData",
            (void*)+[](HWND, const WCHAR* classes) {
                return sys.is.groupBoxGreen && !wcscmp(classes, L"DarkMode_DarkTheme::Button") ? (HANDLE)&sys : nullptr;
            }},
        {L"uxtheme.dll", "GetThemeColor",
            (void*)+[](HANDLE theme, int part, int state, int property, COLORREF* color) {
                *color = RGB(0, sys.is.groupBoxGreen, 0); // the text of a group box (4) in its normal state (1) only
                return theme == &sys && part == 4 && state == 1 && property == 3803 ? S_OK : E_FAIL;
            }},
        {L"uxtheme.dll", "CloseThemeData",
            (void*)+[](HANDLE theme) { return Log(Join(theme == &sys) + L"closed", S_OK); }},
        {L"uxtheme.dll", MAKEINTRESOURCEA(135), (void*)+[](int allow) { return Log(L"opt-in " + Join(allow), 0); }},
        {L"dwmapi.dll", "DwmSetWindowAttribute",
            (void*)+[](HWND, DWORD attribute, const BOOL* value, DWORD size) {
                return Log(L"title bar " + Join(attribute, *value, size), attribute == 20 ? sys.is.titleBar20 : S_OK);
            }},
        {L"ntdll.dll", "RtlGetVersion",
            (void*)+[](RTL_OSVERSIONINFOW* version) {
                version->dwBuildNumber = sys.is.build;
                return Log(L"version", sys.is.versionStatus);
            }},
    };
    for (const auto& [dll, function, fake] : kFakes) {
        bool same = IS_INTRESOURCE(name) ? name == function : !IS_INTRESOURCE(function) && strcmp(name, function) == 0;
        if (same && module == GetModuleHandleW(dll))
            return sys.is.build != 0 || wcscmp(dll, L"ntdll.dll") != 0 ? (FARPROC)fake : nullptr;
    }
    return realGetProcAddress(module, name);
}

int WINAPI RecordDrawTextW(HDC dc, const WCHAR* text, int length, RECT* rect, UINT format)
{
    LOGFONTW font = {};
    GetObjectW(GetCurrentObject(dc, OBJ_FONT), sizeof(font), &font);
    sys.drawn += text + (L" " + Join(rect->left, rect->top, rect->right, format, GetTextColor(dc), font.lfHeight,
                                 font.lfWeight)) + L"; ";
    return DrawTextExW(dc, (WCHAR*)text, length, rect, format, nullptr); // the same, not recorded
}

enum { kGroup = 100, kCheck, kRadio, kReadOnly, kLabel, kList };

class ThemeTest : public testing::Test {
protected:
    void SetUp() override
    {
        realGetProcAddress = patch.original<decltype(&GetProcAddress)>();
        ASSERT_NE(nullptr, LoadLibraryW(L"riched20.dll"));
        sys = {{19045, 0, 255, S_OK}, {}, {}}; // Windows 10 22H2, and the program just started
        themeState = {};
    }
    void TearDown() override
    {
        DestroyWindow(dialog);
    }
    // Controls 100 to 105, themed dark; the list's second column is right-aligned.
    void OpenOwn()
    {
        const WCHAR* kClasses[] = {L"Button", L"Button", L"Button", L"Edit", L"Static", WC_LISTVIEWW};
        const DWORD kStyles[] = {BS_GROUPBOX, BS_AUTOCHECKBOX, BS_AUTORADIOBUTTON, ES_READONLY, SS_LEFT, LVS_REPORT};
        const WCHAR* kColumns[] = {L"Name", L"A title far too long for its column"};
        dialog = CreateWindowExW(
            0, L"Static", L"", WS_POPUP | WS_VISIBLE, 0, 0, 330, 320, nullptr, nullptr, nullptr, nullptr);
        for (int i = 0; i < 6; ++i) {
            CreateWindowExW(0, kClasses[i], L"Text", WS_CHILD | WS_VISIBLE | kStyles[i], 5, 40 * i, 300, 35, dialog,
                (HMENU)(INT_PTR)(kGroup + i), nullptr, nullptr);
        }
        for (int i = 0; i < 2; ++i) {
            LVCOLUMNW column = {LVCF_TEXT | LVCF_WIDTH | LVCF_FMT, i == 1 ? LVCFMT_RIGHT : LVCFMT_LEFT, 80,
                (WCHAR*)kColumns[i], 0, 0, 0, 0, 0, 0, 0};
            SendDlgItemMessageW(dialog, kList, LVM_INSERTCOLUMNW, i, (LPARAM)&column);
        }
        Pass(true);
    }
    void Pass(bool dark)
    {
        setting.SetDark(dark);
        ApplyWindowTheme(dialog);
    }

    ImportPatch patch {"kernel32.dll", "GetProcAddress", (void*)FakeGetProcAddress};
    ImportPatch drawText {"user32.dll", "DrawTextW", (void*)RecordDrawTextW};
    ThemeSetting setting;
    HWND dialog = nullptr;
};

// After each pass the main dialog shows its banner: background, bitmap 10 px from the right under the version
// line (the dark one made once, and kept), bold title 10 px in from the left, the version line 2 px down and 4 px in
// at the right, in grey; the dialog's background below. The live dialog's own controls.
TEST_F(ThemeTest, BothDialogsFollowTheSettingAtStartAndWhenItChanges)
{
    const std::wstring explorer = L"DarkMode_Explorer|null; ", cfd = L"DarkMode_CFD|null; ",
                       button = L"DarkMode_DarkTheme|null; ", light = L"null|null; ";
    const std::wstring dark = button + explorer + cfd + explorer + button + explorer + explorer + explorer + explorer;
    const struct {
        bool dark;
        const WCHAR* text;
        std::wstring calls;
    } kSteps[] = {
        {true, nullptr, L""}, {true, L"Policy", L""}, {true, L"immersivecolorset", L""},
        {true, L"ImmersiveColorSet", L"version; opt-in 1 ; title bar 20 1 4 ; 1 closed; " + dark},
        {false, L"ImmersiveColorSet",
            L"title bar 20 0 4 ; " + light + light + light + light + light + light + light + light + light},
        {true, L"ImmersiveColorSet", L"title bar 20 1 4 ; " + dark}, // opted in and probed once only
    };
    setting.SetDark(false);
    dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDlgProc, 0);
    ShowWindow(dialog, SW_SHOW);
    EXPECT_EQ(L"title bar 20 0 4 ; ", sys.calls) << "light at start";
    HBITMAP darkBanner = nullptr;
    for (const auto& step : kSteps) {
        sys.calls.clear();
        sys.drawn.clear();
        setting.SetDark(step.dark);
        SendMessageW(dialog, WM_SETTINGCHANGE, 0, (LPARAM)step.text);
        EXPECT_EQ(step.calls, sys.calls) << (step.text ? step.text : L"no text");
        if (step.calls.empty())
            continue;
        const int width = ClientSize(GetDlgItem(dialog, IDC_BANNER)).cx;
        EXPECT_EQ(L"Quorvel Tracing "
                + Join(10, 0, width - 10, DT_NOPREFIX | DT_SINGLELINE | DT_VCENTER,
                    step.dark ? RGB(232, 232, 232) : RGB(0, 0, 0), -14, FW_BOLD)
                + L"; Version 2.1.0.0 "
                + Join(0, 2, width - 4, DT_NOPREFIX | DT_SINGLELINE | DT_RIGHT,
                    step.dark ? RGB(144, 144, 144) : RGB(128, 128, 128), -9, 0) + L"; ",
            sys.drawn);
        darkBanner = step.dark && darkBanner == nullptr ? banner.darkBannerBitmap : darkBanner;
        EXPECT_EQ(darkBanner, banner.darkBannerBitmap);
        const SIZE size = ClientSize(GetDlgItem(dialog, IDC_BANNER)); // at the dialog's top left
        const int left = size.cx - 136 - 10, top = (size.cy - 41) / 2; // the bitmap is 136 x 41
        HDC shown = GetDC(dialog);
        HDC bitmap = CreateCompatibleDC(shown);
        SelectObject(bitmap, step.dark ? darkBanner : banner.bannerBitmap);
        int titlePixels = 0;
        for (int y = 0; y < size.cy; ++y) {
            for (int x = 0; x < 150; ++x)
                titlePixels += GetPixel(shown, x, y) == (step.dark ? RGB(232, 232, 232) : 0);
            for (int x = left; y >= top + 8 && y < top + 41 && x < size.cx; ++x) {
                COLORREF background = step.dark ? RGB(32, 32, 32) : RGB(255, 255, 255);
                COLORREF expected = x < left + 136 ? GetPixel(bitmap, x - left, y - top) : background;
                ASSERT_EQ(expected, GetPixel(shown, x, y)) << x << ", " << y;
            }
        }
        EXPECT_LT(150, titlePixels); // bold, some 260 pixels wholly in its colour; regular, some 90
        EXPECT_EQ(step.dark ? RGB(32, 32, 32) : GetSysColor(COLOR_3DFACE), GetPixel(shown, 2, size.cy + 20));
        DeleteDC(bitmap);
        ReleaseDC(dialog, shown);
    }
    DestroyWindow(dialog);
    sys.calls.clear();
    dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_LIVE), nullptr, LiveDlgProc, 5);
    EXPECT_EQ(
        L"title bar 20 1 4 ; " + explorer + explorer + explorer + explorer + cfd + cfd + button + explorer, sys.calls);
}

TEST(BannerTest, RecolorForDarkPixelTable)
{
    const DWORD kInput[] = {0xFFFFFF, 0xFEFEFE, 0x000000, 0x808080, 0x282828, 0x64648C, 0xFF0000, 0x0078D7, 0xC8DCFF};
    const COLORREF kOutput[] = {RGB(32, 32, 32), RGB(32, 32, 32), RGB(232, 232, 232), RGB(131, 131, 131),
        RGB(200, 200, 200), RGB(153, 153, 153), RGB(255, 0, 0), RGB(0, 120, 215), RGB(25, 45, 80)};
    HBITMAP bitmap = CreateBitmap(9, 1, 1, 32, kInput);
    HDC memory = CreateCompatibleDC(nullptr);
    SelectObject(memory, RecolorForDark(bitmap));
    for (int x = 0; x < 9; ++x)
        EXPECT_EQ(kOutput[x], GetPixel(memory, x, 0)) << x;
    DeleteDC(memory);
    DeleteObject(bitmap);
    banner.darkBannerBitmap = banner.darkBannerSource = nullptr; // the copy is kept until the process ends
}

// Only a DWORD 0 is dark: brush, text, background and mode (OPAQUE before, TRANSPARENT for the group box) then.
TEST_F(ThemeTest, ColourAnswersFollowTheSetting)
{
    OpenOwn();
    setting.Write(REG_BINARY, "\0\0\0\0", 4);
    EXPECT_FALSE(IsDarkTheme()) << "a binary 0";
    setting.Remove();
    EXPECT_FALSE(IsDarkTheme()) << "none";
    const COLORREF kOld = RGB(1, 2, 3), kWindow = RGB(32, 32, 32), kEdit = RGB(43, 43, 43), kText = RGB(232, 232, 232);
    std::set<INT_PTR> brushes; // every one handed out
    HDC dc = CreateCompatibleDC(nullptr);
    auto answer = [&](UINT message, int id) {
        SetTextColor(dc, kOld);
        SetBkColor(dc, kOld);
        SetBkMode(dc, id == kGroup ? TRANSPARENT : OPAQUE);
        INT_PTR brush = 0;
        BOOL answered = HandleThemeMessage(dialog, message, (WPARAM)dc, (LPARAM)GetDlgItem(dialog, id), &brush);
        LOGBRUSH colour = {0, CLR_NONE, 0};
        GetObjectW((HBRUSH)brush, sizeof(colour), &colour);
        brushes.insert(brush);
        return Join(answered, colour.lbColor, GetTextColor(dc), GetBkColor(dc), GetBkMode(dc));
    };
    setting.SetDark(true);
    EXPECT_EQ(Join(1, kEdit, kText, kEdit, OPAQUE), answer(WM_CTLCOLOREDIT, kReadOnly));
    EXPECT_EQ(Join(1, kEdit, kText, kEdit, OPAQUE), answer(WM_CTLCOLORSTATIC, kReadOnly)) << "read-only";
    EXPECT_EQ(Join(1, kWindow, kText, kOld, TRANSPARENT), answer(WM_CTLCOLORSTATIC, kLabel));
    EXPECT_EQ(Join(1, kWindow, kText, kWindow, OPAQUE), answer(WM_CTLCOLORSTATIC, kGroup)) << "over its frame line";
    EXPECT_EQ(Join(1, kWindow, kOld, kOld, TRANSPARENT), answer(WM_CTLCOLORBTN, kCheck));
    EXPECT_EQ(Join(1, kWindow, kOld, kOld, OPAQUE), answer(WM_CTLCOLORDLG, 0));
    for (UINT message : {WM_CTLCOLORSCROLLBAR, WM_CTLCOLORMSGBOX})
        EXPECT_EQ(Join(0, CLR_NONE, kOld, kOld, OPAQUE), answer(message, kList)) << message;
    setting.SetDark(false);
    for (UINT message = WM_CTLCOLORMSGBOX; message <= WM_CTLCOLORSTATIC; ++message)
        EXPECT_EQ(Join(0, CLR_NONE, kOld, kOld, OPAQUE), answer(message, kList)) << message;
    EXPECT_EQ(3u, brushes.size()) << "none, and one per colour, made once";
    DeleteDC(dc);
}

// Every row of the class table over two dark passes and a light one, as the system allows: the opt-in once (from
// build 17763), the title bar's older attribute if the first fails, the dark button theme once it draws light
// group-box text (probed until then). E "DarkMode_Explorer", D "DarkMode_DarkTheme", X no visual style, C
// "DarkMode_CFD", - untouched, in lower case the buttons that probe: buttons of types 0 to 15, then edit, combo box,
// list, tree, both rich edits, scroll bar, static and status bar.
TEST_F(ThemeTest, EachClassTakesItsThemeAsTheSystemAllows)
{
    dialog = CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    for (DWORD type = 0; type < 16; ++type)
        CreateWindowExW(0, L"Button", L"", WS_CHILD | type, 0, 0, 9, 9, dialog, nullptr, nullptr, nullptr);
    for (const WCHAR* name : {L"Edit", L"ComboBox", L"SysListView32", L"SysTreeView32", L"RichEdit20W",
             L"RichEdit20A", L"ScrollBar", L"Static", L"msctls_statusbar32"}) // a combo box without an edit
        CreateWindowExW(0, name, L"", WS_CHILD | (wcscmp(name, L"ComboBox") ? 0 : CBS_DROPDOWNLIST), 0, 0, 9, 9,
            dialog, nullptr, nullptr, nullptr);
    const std::wstring kThemes = L"EDXC-", kCalls[] = {L"DarkMode_Explorer|null; ", L"DarkMode_DarkTheme|null; ",
                                                     L"|; ", L"DarkMode_CFD|null; ", L""};
    const std::wstring bar = L"title bar 20 1 4 ; ", bar19 = L"title bar 19 1 4 ; ";
    const struct { System system; std::wstring first, again; } kCases[] = {
        {{17763, 0, 129, S_OK}, L"version; opt-in 1 ; " + bar, bar},
        {{17762, 0, 128, E_INVALIDARG}, L"version; " + bar + bar19, bar + bar19},
        {{22000, (LONG)0xC0000001, 0, S_OK}, L"version; " + bar, bar},
        {{0, 0, 255, S_OK}, bar, bar},
    };
    for (const auto& c : kCases) {
        sys = {c.system, {}, {}};
        themeState = {};
        const BYTE green = c.system.groupBoxGreen;
        std::wstring expected;
        bool usable = false;
        for (const std::wstring& pass : {c.first, c.again}) {
            expected += pass;
            for (const WCHAR* t = green > 128 ? L"EEddddddEdEEEEEECCEEEEE--" : L"EEeexeexExEEEEEECCEEEEE--"; *t; ++t) {
                bool probes = iswlower(*t) && !usable;
                usable = usable || (probes && green > 128);
                expected += (probes && green != 0 ? L"1 closed; " : L"") + kCalls[kThemes.find(towupper(*t))];
            }
        }
        expected += c.system.titleBar20 == S_OK ? L"title bar 20 0 4 ; " : L"title bar 20 0 4 ; title bar 19 0 4 ; ";
        for (int themed = 0; themed < 23; ++themed) // all but the static and the status bar
            expected += L"null|null; ";
        Pass(true);
        Pass(true);
        Pass(false);
        EXPECT_EQ(expected, sys.calls) << c.system.build;
    }
}

// Header titles from the left, in 6 px and 4 px, with an ellipsis, in the header's font. One light pass takes back what two dark passes installed: the system's colours again.
TEST_F(ThemeTest, ListViewsTakeTheColoursAndADarkHeader)
{
    OpenOwn();
    HWND list = GetDlgItem(dialog, kList);
    HWND header = (HWND)SendMessageW(list, LVM_GETHEADER, 0, 0);
    auto colours = [&] {
        return Join(SendMessageW(list, LVM_GETBKCOLOR, 0, 0), SendMessageW(list, LVM_GETTEXTBKCOLOR, 0, 0),
            SendMessageW(list, LVM_GETTEXTCOLOR, 0, 0));
    };
    EXPECT_EQ(Join(RGB(43, 43, 43), RGB(43, 43, 43), RGB(232, 232, 232)), colours());
    RECT first, last;
    SendMessageW(header, HDM_GETITEMRECT, 0, (LPARAM)&first);
    SendMessageW(header, HDM_GETITEMRECT, 1, (LPARAM)&last);
    sys.drawn.clear();
    RedrawWindow(header, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    LOGFONTW font = {};
    GetObjectW((HFONT)SendMessageW(header, WM_GETFONT, 0, 0), sizeof(font), &font);
    auto look = [&](const RECT& item) {
        return Join(item.left + 6, item.top, item.right - 4, DT_END_ELLIPSIS | DT_NOPREFIX | DT_SINGLELINE | DT_VCENTER,
            RGB(232, 232, 232), font.lfHeight, font.lfWeight);
    };
    EXPECT_EQ(L"Name " + look(first) + L"; A title far too long for its column " + look(last) + L"; ", sys.drawn);
    HDC dc = GetDC(header);
    EXPECT_EQ(RGB(43, 43, 43), GetPixel(dc, first.left + 2, first.top + 2));
    EXPECT_EQ(RGB(80, 80, 80), GetPixel(dc, first.right - 1, first.top + 2)) << "divider";
    EXPECT_EQ(RGB(80, 80, 80), GetPixel(dc, first.left + 2, first.bottom - 1)) << "bottom edge";
    EXPECT_EQ(RGB(43, 43, 43), GetPixel(dc, last.right + 10, first.top + 2)) << "right of the items";
    Pass(true);
    Pass(false);
    EXPECT_EQ(Join(GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOWTEXT)), colours());
    setting.SetDark(true); // the header's own drawing is back even so
    RedrawWindow(header, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    EXPECT_NE(RGB(43, 43, 43), GetPixel(dc, first.left + 2, first.top + 2));
    ReleaseDC(header, dc);
}

} // namespace
