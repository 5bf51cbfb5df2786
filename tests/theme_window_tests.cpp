// Both dialogs, and a dialog of the tests' own with the kinds of control
// they lack, in the light and dark app theme. Wine has no dark visual
// styles, no uxtheme ordinal 135 and no dark title bar: a patched
// GetProcAddress hands the theming recording fakes of what it looks up.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <uxtheme.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "app/main_dialog.h"
#include "etw_emulation/etw_emulation.h"
#include "live/live_window.h"
#include "res/resource.h"
#include "test_support/import_patch.h"
#include "test_support/ui_driver.h"
#include "tests/live_test_support.h"
#include "theme/list_view_theme.h"
#include "theme/theme_window.h"

namespace {

typedef std::vector<std::wstring> Calls;
// Read before any patch.
const auto realGetProcAddress = &GetProcAddress;
decltype(&DrawTextW) realDrawTextW;   // set with their patches
decltype(&RemoveWindowSubclass) realRemoveWindowSubclass;
const WCHAR kExplorer[] = L"DarkMode_Explorer|null", kCfd[] = L"DarkMode_CFD|null", kDark[] = L"DarkMode_DarkTheme|null";

// The system as the fakes play it, and what it was asked (on the dialog's
// thread, read once that has answered).
struct {
    DWORD build;
    LONG versionStatus;
    bool hasVersion, hasOrdinal, themeOpens;
    BYTE groupBoxGreen;
    HRESULT titleBar20;
    Calls calls, texts;                    // texts: DrawTextW's text, left edge and format
    std::map<HWND, std::wstring> themes;   // the last SetWindowTheme per window
} sys;

std::wstring Text(const WCHAR* text) { return text != nullptr ? text : L"null"; }
std::wstring Num(long long n) { return std::to_wstring(n); }
HRESULT WINAPI FakeSetWindowTheme(HWND window, const WCHAR* name, const WCHAR* subList)
{
    sys.themes[window] = Text(name) + L"|" + Text(subList);
    return S_OK;
}
HRESULT WINAPI FakeDwmSetWindowAttribute(HWND, DWORD attribute, const void* value, DWORD size)
{
    sys.calls.push_back(L"title bar " + Num(attribute) + L" " + Num(*(const BOOL*)value) + L" " + Num(size));
    return attribute == 20 ? sys.titleBar20 : S_OK;
}
HTHEME WINAPI FakeOpenThemeData(HWND window, const WCHAR* classes)
{
    sys.calls.push_back(L"open " + Text(classes) + (window != nullptr ? L" for a window" : L""));
    return sys.themeOpens ? (HTHEME)&sys : nullptr;
}
HRESULT WINAPI FakeGetThemeColor(HTHEME, int part, int state, int property, COLORREF* color)
{
    sys.calls.push_back(L"colour " + Num(part) + L" " + Num(state) + L" " + Num(property));
    *color = RGB(0, sys.groupBoxGreen, 0);
    return S_OK;
}
HRESULT WINAPI FakeCloseThemeData(HTHEME theme)
{
    sys.calls.push_back(theme == (HTHEME)&sys ? L"close" : L"close another");
    return S_OK;
}
LONG WINAPI FakeRtlGetVersion(RTL_OSVERSIONINFOW* version)
{
    sys.calls.push_back(L"version " + Num(version->dwOSVersionInfoSize));
    version->dwBuildNumber = sys.build;
    return sys.versionStatus;
}
int WINAPI FakeAllowDarkModeForApp(int allow)
{
    sys.calls.push_back(L"opt-in " + Num(allow));
    return 0;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, const char* name)
{
    static const struct { const WCHAR* dll; const char* name; void* fake; const bool* present; } kFakes[] = {
        {L"\\uxtheme.dll", "SetWindowTheme", (void*)FakeSetWindowTheme, nullptr},
        {L"\\uxtheme.dll", "OpenThemeData", (void*)FakeOpenThemeData, nullptr},
        {L"\\uxtheme.dll", "GetThemeColor", (void*)FakeGetThemeColor, nullptr},
        {L"\\uxtheme.dll", "CloseThemeData", (void*)FakeCloseThemeData, nullptr},
        {L"\\uxtheme.dll", MAKEINTRESOURCEA(135), (void*)FakeAllowDarkModeForApp, &sys.hasOrdinal},
        {L"\\dwmapi.dll", "DwmSetWindowAttribute", (void*)FakeDwmSetWindowAttribute, nullptr},
        {L"\\ntdll.dll", "RtlGetVersion", (void*)FakeRtlGetVersion, &sys.hasVersion},
    };
    WCHAR path[MAX_PATH] = L"";
    const WCHAR* file = path + GetModuleFileNameW(module, path, MAX_PATH);
    for (const auto& fake : kFakes) {
        bool same = IS_INTRESOURCE(name) ? name == fake.name : !IS_INTRESOURCE(fake.name) && strcmp(name, fake.name) == 0;
        if (same && file - path > (int)wcslen(fake.dll) && _wcsicmp(file - wcslen(fake.dll), fake.dll) == 0)
            return fake.present == nullptr || *fake.present ? (FARPROC)fake.fake : nullptr;
    }
    return realGetProcAddress(module, name);
}

// The tests' own dialog.
enum { kGroup = 100, kCheck, kRadio, kReadOnly, kLabel, kList, kEmptyList };
HWND ownDialog;
INT_PTR CALLBACK OwnDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        ownDialog = dialog;
        const struct { const WCHAR* className; const WCHAR* text; DWORD style; int y; } kControls[] = {
            {L"Button", L"Group", BS_GROUPBOX, 0}, {L"Button", L"Check", BS_AUTOCHECKBOX, 30},
            {L"Button", L"Radio", BS_AUTORADIOBUTTON, 60}, {L"Edit", L"", ES_READONLY, 90},
            {L"Static", L"Label", SS_LEFT, 120}, {WC_LISTVIEWW, L"", LVS_REPORT, 150}, {WC_LISTVIEWW, L"", LVS_REPORT, 220}};
        for (int id = kGroup; id <= kEmptyList; ++id)
            CreateWindowExW(0, kControls[id - kGroup].className, kControls[id - kGroup].text,
                            WS_CHILD | WS_VISIBLE | kControls[id - kGroup].style, 5, kControls[id - kGroup].y,
                            300, 60, dialog, (HMENU)(INT_PTR)id, nullptr, nullptr);
        const struct { const WCHAR* title; int width, format; } kColumns[] = {
            {L"Name", 60, LVCFMT_LEFT}, {L"A title far too long for its column", 90, LVCFMT_LEFT}, {L"Size", 80, LVCFMT_RIGHT}};
        for (const auto& c : kColumns) {
            LVCOLUMNW column = {};
            column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT, column.fmt = c.format, column.cx = c.width;
            column.pszText = (WCHAR*)c.title;
            SendDlgItemMessageW(dialog, kList, LVM_INSERTCOLUMNW, 3, (LPARAM)&column);
        }
    } else if (message == WM_CLOSE) {
        return EndDialog(dialog, 0);
    }
    INT_PTR result;
    return HandleThemeMessage(dialog, message, wParam, lParam, &result) ? result : FALSE;
}
struct alignas(4) { DLGTEMPLATE header; WORD menu, windowClass, title; } ownTemplate = {
    {WS_POPUP | WS_CAPTION | WS_VISIBLE, 0, 0, 0, 0, 220, 200}, 0, 0, 0};

COLORREF Pixel(HWND window, int x, int y)
{
    HDC dc = GetDC(window);
    COLORREF colour = GetPixel(dc, x, y);
    ReleaseDC(window, dc);
    return colour;
}
// Pixels of text in DarkTextColor (smoothed or not) within `r`.
int LightPixels(HWND window, RECT r)
{
    int count = 0;
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x)
            count += GetGValue(Pixel(window, x, y)) >= 200;
    return count;
}

class ThemeTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(patch.active());
        ASSERT_NE(nullptr, LoadLibraryW(L"riched20.dll"));
        EtwEmuReset();
        sys.build = 19045, sys.versionStatus = 0, sys.titleBar20 = S_OK, sys.groupBoxGreen = 255;
        sys.hasVersion = sys.hasOrdinal = sys.themeOpens = true;
        Forget();
        themeState.darkModeOptedIn = themeState.darkButtonThemeUsable = FALSE;
        themeState.osBuildNumber = 0;
        setting.SetDark(false);
    }
    void TearDown() override { Close(); }
    void Forget() { sys.calls.clear(), sys.themes.clear(), sys.texts.clear(); }
    void Open(int templateId, DLGPROC proc, bool dark)
    {
        setting.SetDark(dark);
        ownDialog = nullptr;
        run = templateId != 0 ? StartModalDialog(templateId, proc, 5) : StartUiThread([] {
            return DialogBoxIndirectParamW(GetModuleHandleW(nullptr), &ownTemplate.header, nullptr, OwnDlgProc, 0);
        });
        dialog = templateId == IDD_MAIN ? WaitForWindow(L"#32770", L"Quorvel Tracing")
               : templateId == IDD_LIVE ? WaitForWindow(L"#32770", L"Live Tracing")
                                        : (WaitUntil([] { return IsWindowVisible(ownDialog) != FALSE; }), ownDialog);
        ASSERT_NE(nullptr, dialog);
    }
    void Close()
    {
        if (run != nullptr)
            PostMessageW(dialog, WM_CLOSE, 0, 0);
        EXPECT_EQ(run != nullptr ? 0 : -2, FinishUiThread(run, 2 * UI_WAIT_MS));
        run = nullptr;
    }
    void Announce(const WCHAR* setting) { SendMessageW(dialog, WM_SETTINGCHANGE, 0, (LPARAM)setting); }
    void DarkPass() { RunOnUiThread(run, [this] { ApplyWindowTheme(dialog); }); }
    HWND Control(int id) { return GetDlgItem(dialog, id); }
    size_t MarkedControls()
    {
        size_t marked = 0;
        for (HWND c = GetWindow(dialog, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
            marked += GetPropW(c, DARK_CONTROL_PROPERTY) == (HANDLE)1;
        return marked;
    }

    ImportPatch patch{"kernel32.dll", "GetProcAddress", (void*)FakeGetProcAddress};
    ThemeSetting setting;
    UiDialogRun* run = nullptr;
    HWND dialog = nullptr;
};

TEST_F(ThemeTest, BothDialogsFollowTheSettingAtStartAndWhenItChanges)
{
    struct ControlTheme { int id; const WCHAR* caption; const WCHAR* theme; };
    const struct { int templateId; DLGPROC proc; std::vector<ControlTheme> controls; } kDialogs[] = {
        {IDD_MAIN, MainDlgProc, {{IDC_LIVE_TRACING, nullptr, kExplorer}, {IDC_LEVEL, nullptr, kCfd},
            {IDC_ADVANCED, nullptr, kExplorer}, {IDC_ENABLE, nullptr, kExplorer}, {IDC_DISABLE, nullptr, kExplorer},
            {IDC_SAVE_LOG, nullptr, kExplorer}, {0, L"Live tracing", kDark}, {0, L"Persistent tracing", kDark}}},
        {IDD_LIVE, LiveDlgProc, {{IDC_LIVE_PAUSE, nullptr, kExplorer}, {IDC_LIVE_CLEAR, nullptr, kExplorer},
            {IDC_LIVE_COPY, nullptr, kExplorer}, {IDC_LIVE_SAVE, nullptr, kExplorer}, {IDC_LIVE_LEVEL, nullptr, kCfd},
            {IDC_LIVE_FIND, nullptr, kCfd}, {IDC_LIVE_AUTOSCROLL, nullptr, kDark}, {IDC_LIVE_VIEW, nullptr, kExplorer}}},
    };
    const Calls kFirstDark = {L"version 276", L"opt-in 1", L"title bar 20 1 4",
                              L"open DarkMode_DarkTheme::Button", L"colour 4 1 3803", L"close"};
    for (const auto& d : kDialogs) {
        SCOPED_TRACE(testing::Message() << "template " << d.templateId);
        auto expectThemes = [&](const WCHAR* light) {   // light: what a light pass gives
            EXPECT_EQ(d.controls.size(), sys.themes.size()) << "no other control";
            for (const auto& c : d.controls)
                EXPECT_EQ(light ? light : c.theme,
                          sys.themes[c.id ? Control(c.id) : FindWindowExW(dialog, nullptr, L"Button", c.caption)]);
        };
        SetUp();
        Open(d.templateId, d.proc, false);
        EXPECT_EQ(Calls{L"title bar 20 0 4"}, sys.calls) << "light at start";
        EXPECT_EQ(0u, sys.themes.size() + MarkedControls());
        const struct { bool dark; const WCHAR* setting; Calls calls; } kSteps[] = {
            {true, nullptr, {}}, {true, L"Policy", {}}, {true, L"immersivecolorset", {}},
            {true, L"ImmersiveColorSet", kFirstDark}, {false, L"ImmersiveColorSet", {L"title bar 20 0 4"}},
            {true, L"ImmersiveColorSet", {L"title bar 20 1 4"}},   // opted in and probed once only
        };
        for (const auto& step : kSteps) {
            SCOPED_TRACE(testing::Message() << step.dark << " " << Text(step.setting).c_str());
            Forget();
            setting.SetDark(step.dark);
            Announce(step.setting);
            EXPECT_EQ(step.calls, sys.calls);
            EXPECT_EQ(step.dark && !step.calls.empty() ? d.controls.size() : 0, MarkedControls());
            if (step.calls.empty())
                EXPECT_EQ(0u, sys.themes.size());
            else
                expectThemes(step.dark ? nullptr : L"null|null");
        }
        Close();
        Forget();
        Open(d.templateId, d.proc, true);
        EXPECT_EQ(Calls{L"title bar 20 1 4"}, sys.calls) << "dark at start";
        EXPECT_EQ(d.controls.size(), MarkedControls());
        expectThemes(nullptr);
        Close();
    }
}

TEST_F(ThemeTest, DarkDialogShowsLightTextOnDarkBackground)
{
    sys.themeOpens = false;   // Wine's answer: group boxes fall back to classic drawing
    Open(IDD_MAIN, MainDlgProc, true);
    EXPECT_EQ(L"|", sys.themes[FindWindowExW(dialog, nullptr, L"Button", L"Live tracing")]);
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    RECT label = {14, 114, 42, 123};   // "Level :"
    MapDialogRect(dialog, &label);
    EXPECT_EQ(RGB(32, 32, 32), Pixel(dialog, 2, label.top));
    EXPECT_LT(10, LightPixels(dialog, label));
}

TEST_F(ThemeTest, ColourAnswersOfTheDarkTheme)
{
    Open(0, OwnDlgProc, true);
    const COLORREF kKeep = RGB(1, 2, 3), kWindow = RGB(32, 32, 32), kControl = RGB(43, 43, 43), kText = RGB(232, 232, 232);
    const struct { UINT message; int id; COLORREF brush, text, background; int mode; } kCases[] = {
        {WM_CTLCOLOREDIT, kReadOnly, kControl, kText, kControl, 0}, {WM_CTLCOLORLISTBOX, kList, kControl, kText, kControl, 0},
        {WM_CTLCOLORSTATIC, kReadOnly, kControl, kText, kControl, 0}, {WM_CTLCOLORSTATIC, kLabel, kWindow, kText, kKeep, TRANSPARENT},
        {WM_CTLCOLORSTATIC, kGroup, kWindow, kText, kWindow, OPAQUE}, {WM_CTLCOLORBTN, kCheck, kWindow, kKeep, kKeep, TRANSPARENT},
        {WM_CTLCOLORDLG, 0, kWindow, kKeep, kKeep, 0}, {WM_CTLCOLORSCROLLBAR, kList, CLR_NONE, kKeep, kKeep, 0},
        {WM_CTLCOLORMSGBOX, 0, CLR_NONE, kKeep, kKeep, 0},
    };
    HDC dc = CreateCompatibleDC(nullptr);
    for (bool dark : {true, false}) {
        setting.SetDark(dark);
        for (const auto& c : kCases) {
            SCOPED_TRACE(testing::Message() << dark << ", message 0x" << std::hex << c.message << ", control " << c.id);
            SetTextColor(dc, kKeep);
            SetBkColor(dc, kKeep);
            SetBkMode(dc, c.mode == OPAQUE ? TRANSPARENT : OPAQUE);
            INT_PTR brush = -1;
            EXPECT_EQ(dark && c.brush != CLR_NONE, HandleThemeMessage(dialog, c.message, (WPARAM)dc, (LPARAM)Control(c.id), &brush) != FALSE);
            LOGBRUSH colour = {0, CLR_NONE, 0};
            GetObjectW((HBRUSH)brush, sizeof(colour), &colour);
            EXPECT_EQ(dark ? c.brush : CLR_NONE, colour.lbColor);
            EXPECT_EQ(dark ? c.text : kKeep, GetTextColor(dc));
            EXPECT_EQ(dark ? c.background : kKeep, GetBkColor(dc));
            EXPECT_EQ(dark && c.mode ? c.mode : c.mode == OPAQUE ? TRANSPARENT : OPAQUE, GetBkMode(dc));
        }
    }
    DeleteDC(dc);
}

TEST_F(ThemeTest, OptInAndButtonThemeFollowWhatTheSystemHas)
{
    Open(0, OwnDlgProc, true);
    const struct {
        DWORD build; LONG status; bool hasVersion, hasOrdinal, opens; BYTE green; HRESULT titleBar20;
        Calls optIn; const WCHAR *group, *check;
    } kCases[] = {
        {17763, 0, true, true, true, 129, S_OK, {L"version 276", L"opt-in 1"}, kDark, kDark},
        {17762, 0, true, true, true, 128, E_INVALIDARG, {L"version 276"}, L"|", kExplorer},
        {22000, (LONG)0xC0000001, true, true, false, 255, S_OK, {L"version 276"}, L"|", kExplorer},
        {22000, 0, false, true, true, 255, S_OK, {}, kDark, kDark},
        {22000, 0, true, false, true, 255, S_OK, {L"version 276"}, kDark, kDark},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << "build " << c.build << ", status " << c.status << ", green " << (int)c.green);
        themeState.darkModeOptedIn = themeState.darkButtonThemeUsable = FALSE;
        themeState.osBuildNumber = 0;
        sys.build = c.build, sys.versionStatus = c.status, sys.hasVersion = c.hasVersion, sys.hasOrdinal = c.hasOrdinal;
        sys.themeOpens = c.opens, sys.groupBoxGreen = c.green, sys.titleBar20 = c.titleBar20;
        Forget();
        DarkPass();
        DarkPass();   // neither the opt-in nor the version is asked again
        Calls optIn;
        for (const auto& call : sys.calls)
            if (call.compare(0, 7, L"version") == 0 || call.compare(0, 6, L"opt-in") == 0)
                optIn.push_back(call);
        EXPECT_EQ(c.optIn, optIn);
        EXPECT_EQ(c.titleBar20 != S_OK ? 2 : 0, std::count(sys.calls.begin(), sys.calls.end(), L"title bar 19 1 4"));
        EXPECT_EQ(c.group, sys.themes[Control(kGroup)]);
        EXPECT_EQ(c.group, sys.themes[Control(kRadio)]);
        EXPECT_EQ(c.check, sys.themes[Control(kCheck)]);
    }
}

int WINAPI RecordDrawTextW(HDC dc, const WCHAR* text, int length, RECT* rect, UINT format)
{
    sys.texts.push_back(std::wstring(text) + L" " + Num(rect->left) + L" " + Num(format));
    return realDrawTextW(dc, text, length, rect, format);
}
BOOL WINAPI RecordRemoveWindowSubclass(HWND window, SUBCLASSPROC proc, UINT_PTR id)
{
    sys.calls.push_back(L"unsubclass " + Num((LONG_PTR)window) + L" " + Num(proc == ListViewHeaderSubclassProc) + Num(id));
    return realRemoveWindowSubclass(window, proc, id);
}

TEST_F(ThemeTest, ListViewsTakeTheColoursAndADarkHeader)
{
    ImportPatch drawText("user32.dll", "DrawTextW", (void*)RecordDrawTextW);
    ImportPatch removeSubclass("comctl32.dll", "RemoveWindowSubclass", (void*)RecordRemoveWindowSubclass);
    realRemoveWindowSubclass = removeSubclass.original<decltype(&RemoveWindowSubclass)>();
    realDrawTextW = drawText.original<decltype(&DrawTextW)>();
    Open(0, OwnDlgProc, true);
    HWND list = Control(kList), header = (HWND)SendMessageW(list, LVM_GETHEADER, 0, 0);
    auto subclassed = [&] {   // the subclass answers the header's pre-paint while the theme is dark
        NMCUSTOMDRAW draw = {};
        draw.hdr = {header, 0, (UINT)NM_CUSTOMDRAW}, draw.dwDrawStage = CDDS_PREPAINT;
        return SendMessageW(list, WM_NOTIFY, 0, (LPARAM)&draw) == (CDRF_NOTIFYITEMDRAW | CDRF_NOTIFYPOSTPAINT);
    };
    auto colours = [&] {
        return Calls{Num(SendMessageW(list, LVM_GETBKCOLOR, 0, 0)), Num(SendMessageW(list, LVM_GETTEXTBKCOLOR, 0, 0)),
                     Num(SendMessageW(list, LVM_GETTEXTCOLOR, 0, 0))};
    };
    DarkPass();
    EXPECT_TRUE(subclassed());
    EXPECT_EQ((Calls{Num(RGB(43, 43, 43)), Num(RGB(43, 43, 43)), Num(RGB(232, 232, 232))}), colours());

    RECT first, last, client;
    SendMessageW(header, HDM_GETITEMRECT, 0, (LPARAM)&first);
    SendMessageW(header, HDM_GETITEMRECT, 2, (LPARAM)&last);
    GetClientRect(header, &client);
    sys.texts.clear();
    RedrawWindow(header, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    const std::wstring kFormat = L" " + Num(DT_END_ELLIPSIS | DT_NOPREFIX | DT_SINGLELINE | DT_VCENTER);
    EXPECT_EQ((Calls{L"Name " + Num(first.left + 6) + kFormat, L"A title far too long for its column " + Num(first.right + 6) + kFormat,
                     L"Size " + Num(last.left + 6) + kFormat}), sys.texts) << "left-aligned, with an ellipsis";
    EXPECT_EQ(RGB(43, 43, 43), Pixel(header, first.left + 2, first.top + 2));
    EXPECT_EQ(RGB(80, 80, 80), Pixel(header, first.right - 1, first.top + 2)) << "divider";
    EXPECT_EQ(RGB(80, 80, 80), Pixel(header, first.left + 2, first.bottom - 1)) << "bottom line";
    EXPECT_LT(5, LightPixels(header, first)) << "title";
    EXPECT_EQ(RGB(43, 43, 43), Pixel(header, (last.right + client.right) / 2, client.bottom / 2)) << "empty area";
    EXPECT_EQ(RGB(43, 43, 43), Pixel((HWND)SendMessageW(Control(kEmptyList), LVM_GETHEADER, 0, 0), 10, 5)) << "no item";

    DarkPass();
    setting.SetDark(false);
    Announce(L"ImmersiveColorSet");
    EXPECT_EQ((Calls{Num(GetSysColor(COLOR_WINDOW)), Num(GetSysColor(COLOR_WINDOW)), Num(GetSysColor(COLOR_WINDOWTEXT))}), colours());
    setting.SetDark(true);
    EXPECT_FALSE(subclassed()) << "one light pass removes what two dark passes installed";
    DarkPass();
    Forget();
    RunOnUiThread(run, [list] { DestroyWindow(list); });
    EXPECT_EQ(Calls{L"unsubclass " + Num((LONG_PTR)list) + L" 11"}, sys.calls);
}

}  // namespace
