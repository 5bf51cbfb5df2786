// Both dialogs, and one of the tests' own with the controls they lack, in the light and dark app theme. Wine
// has no dark visual styles, no uxtheme ordinal 135, no dark title bar: a patched GetProcAddress hands fakes.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <uxtheme.h>

#include <algorithm>
#include <map>
#include <set>

#include "app/banner.h"
#include "app/main_dialog.h"
#include "etw_emulation/etw_emulation.h"
#include "live/live_window.h"
#include "res/resource.h"
#include "test_support/import_patch.h"
#include "test_support/theme_setting.h"
#include "test_support/ui_driver.h"
#include "theme/list_view_theme.h"
#include "theme/theme_window.h"

namespace {

typedef std::vector<std::wstring> Calls;
const WCHAR kExplorer[] = L"DarkMode_Explorer|null", kCfd[] = L"DarkMode_CFD|null", kDark[] = L"DarkMode_DarkTheme|null";
decltype(&GetProcAddress) realGetProcAddress; decltype(&DrawTextW) realDrawTextW;   // each set with its patch

struct {   // the system as the fakes play it, and what it was asked (on the dialog's thread, read once that has answered)
    DWORD build; LONG versionStatus;       // what RtlGetVersion reports, if found
    bool hasVersion, themeOpens; BYTE groupBoxGreen; HRESULT titleBar20;   // found; the dark button theme opens, its text
    Calls calls, texts;                    // texts: DrawTextW's text, left edge, format and text colour
    std::map<HWND, std::wstring> themes;   // the last SetWindowTheme per window
} sys;
std::wstring Text(const WCHAR* text) { return text != nullptr ? text : L"null"; }
std::wstring Num(long long n) { return std::to_wstring(n); }
template <typename... T> std::wstring Join(const T&... parts) { return ((Num(parts) + L" ") + ...); }

template <typename R> R Log(const std::wstring& call, R result) { return sys.calls.push_back(call), result; }

HRESULT WINAPI FakeSetWindowTheme(HWND w, const WCHAR* name, const WCHAR* list) { return sys.themes[w] = Text(name) + L"|" + Text(list), S_OK; }
HRESULT WINAPI FakeDwmSetWindowAttribute(HWND, DWORD attribute, const void* value, DWORD size)
{ return Log(L"title bar " + Join(attribute, *(const BOOL*)value, size), attribute == 20 ? sys.titleBar20 : S_OK); }
HTHEME WINAPI FakeOpenThemeData(HWND window, const WCHAR* classes)
{ return Log(L"open " + Text(classes) + L" " + Num(window != nullptr), sys.themeOpens ? (HTHEME)&sys : nullptr); }
HRESULT WINAPI FakeGetThemeColor(HTHEME theme, int part, int state, int property, COLORREF* color)
{ return *color = RGB(0, sys.groupBoxGreen, 0), Log(L"colour " + Join(theme == (HTHEME)&sys, part, state, property), S_OK); }
HRESULT WINAPI FakeCloseThemeData(HTHEME theme) { return Log(L"close " + Join(theme == (HTHEME)&sys), S_OK); }
LONG WINAPI FakeRtlGetVersion(RTL_OSVERSIONINFOW* version)
{ return version->dwBuildNumber = sys.build, Log(L"version " + Join(version->dwOSVersionInfoSize), sys.versionStatus); }
int WINAPI FakeAllowDarkModeForApp(int allow) { return Log(L"opt-in " + Join(allow), 0); }

FARPROC WINAPI FakeGetProcAddress(HMODULE module, const char* name)
{
    static const struct { const WCHAR* dll; const char* name; void* fake; } kFakes[] = {
        {L"uxtheme.dll", "SetWindowTheme", (void*)FakeSetWindowTheme}, {L"uxtheme.dll", "OpenThemeData", (void*)FakeOpenThemeData},
        {L"uxtheme.dll", "GetThemeColor", (void*)FakeGetThemeColor}, {L"uxtheme.dll", "CloseThemeData", (void*)FakeCloseThemeData},
        {L"uxtheme.dll", MAKEINTRESOURCEA(135), (void*)FakeAllowDarkModeForApp},
        {L"dwmapi.dll", "DwmSetWindowAttribute", (void*)FakeDwmSetWindowAttribute}, {L"ntdll.dll", "RtlGetVersion", (void*)FakeRtlGetVersion}};
    for (const auto& fake : kFakes) {
        bool same = IS_INTRESOURCE(name) ? name == fake.name : !IS_INTRESOURCE(fake.name) && strcmp(name, fake.name) == 0;
        if (same && module == GetModuleHandleW(fake.dll))
            return sys.hasVersion || fake.fake != FakeRtlGetVersion ? (FARPROC)fake.fake : nullptr;
    }
    return realGetProcAddress(module, name);
}
int WINAPI RecordDrawTextW(HDC dc, const WCHAR* text, int length, RECT* rect, UINT format)
{ return sys.texts.push_back(std::wstring(text) + L" " + Join(rect->left, format, GetTextColor(dc))), realDrawTextW(dc, text, length, rect, format); }

int dibReads; decltype(&GetDIBits) realGetDIBits;
int WINAPI CountingGetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits, LPBITMAPINFO info, UINT usage)
{ return ++dibReads, realGetDIBits(dc, bitmap, start, lines, bits, info, usage); }

// The tests' own dialog: controls 100 to 106, made before the theme hook runs.
enum { kGroup = 100, kCheck, kRadio, kReadOnly, kLabel, kList, kEmptyList };
INT_PTR CALLBACK OwnDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    const struct { const WCHAR* className; DWORD style; } kControls[] = {{L"Button", BS_GROUPBOX},
        {L"Button", BS_AUTOCHECKBOX}, {L"Button", BS_AUTORADIOBUTTON}, {L"Edit", ES_READONLY},
        {L"Static", SS_LEFT}, {WC_LISTVIEWW, LVS_REPORT}, {WC_LISTVIEWW, LVS_REPORT}};
    const struct { const WCHAR* title; int width, format; } kColumns[] = {
        {L"Name", 60, LVCFMT_LEFT}, {L"A title far too long for its column", 90, LVCFMT_LEFT}, {L"Size", 80, LVCFMT_RIGHT}};
    for (int id = kGroup; message == WM_INITDIALOG && id <= kEmptyList; ++id)
        CreateWindowExW(0, kControls[id - kGroup].className, L"Text", WS_CHILD | WS_VISIBLE | kControls[id - kGroup].style,
                        5, id < kList ? 30 * (id - kGroup) : 150 + 70 * (id - kList), 300, id < kList ? 25 : 60, dialog,
                        (HMENU)(INT_PTR)id, nullptr, nullptr);
    for (const auto& c : kColumns) {
        LVCOLUMNW column = {LVCF_TEXT | LVCF_WIDTH | LVCF_FMT, c.format, c.width, (WCHAR*)c.title, 0, 0, 0, 0, 0, 0, 0};
        if (message == WM_INITDIALOG) SendDlgItemMessageW(dialog, kList, LVM_INSERTCOLUMNW, 3, (LPARAM)&column);
    }
    INT_PTR result;
    return message == WM_CLOSE ? EndDialog(dialog, 0) : HandleThemeMessage(dialog, message, wParam, lParam, &result) ? result : FALSE;
}
struct alignas(4) { DLGTEMPLATE header; WORD menu, windowClass, title; } ownTemplate = {
    {WS_POPUP | WS_CAPTION | WS_VISIBLE, 0, 0, 0, 0, 220, 200}, 0, 0, 0};

COLORREF Pixel(HWND window, int x, int y) { HDC dc = GetDC(window); COLORREF c = GetPixel(dc, x, y); return ReleaseDC(window, dc), c; }
std::vector<DWORD> PixelsOf(HBITMAP bitmap, int width, int height)   // 0x00RRGGBB, rows top-down
{
    std::vector<DWORD> pixels(width * height);
    BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS), ReleaseDC(nullptr, screen);
    return std::transform(pixels.begin(), pixels.end(), pixels.begin(), [](DWORD p) { return p & 0xFFFFFF; }), pixels;
}

class ThemeTest : public testing::Test {
protected:
    void SetUp() override
    {
        realGetProcAddress = patch.original<decltype(&GetProcAddress)>();
        ASSERT_NE(nullptr, LoadLibraryW(L"riched20.dll"));
        EtwEmuReset();
        sys = {19045, 0, true, true, 255, S_OK, {}, {}, {}};
        themeState.darkModeOptedIn = themeState.darkButtonThemeUsable = FALSE, themeState.osBuildNumber = 0;
    }
    void TearDown() override { Close(); }
    void Open(int templateId, DLGPROC proc, bool dark)   // found on its thread: never a window another test left
    {
        setting.SetDark(dark), dialog = nullptr;
        run = templateId ? StartModalDialog(templateId, proc, 5)
                         : StartUiThread([] { return DialogBoxIndirectParamW(nullptr, &ownTemplate.header, nullptr, OwnDlgProc, 0); });
        ASSERT_TRUE(WaitUntil([&] { return !EnumThreadWindows(run->threadId, [](HWND w, LPARAM found) -> BOOL {
            return !IsWindowVisible(w) || (*(HWND*)found = w, FALSE); }, (LPARAM)&dialog); }));
    }
    void Close() { if (run) PostMessageW(dialog, WM_CLOSE, 0, 0); EXPECT_EQ(run ? 0 : -2, FinishUiThread(run, 2 * UI_WAIT_MS)); run = nullptr; }
    void Switch(bool dark, const WCHAR* text = L"ImmersiveColorSet")
    { sys.calls.clear(), sys.themes.clear(), setting.SetDark(dark), SendMessageW(dialog, WM_SETTINGCHANGE, 0, (LPARAM)text); }
    void DarkPass() { RunOnUiThread(run, [this] { ApplyWindowTheme(dialog); }); }
    HWND Control(int id) { return GetDlgItem(dialog, id); }
    size_t MarkedControls(size_t marked = 0, HWND c = nullptr)
    { while ((c = FindWindowExW(dialog, c, nullptr, nullptr)) != nullptr) marked += GetPropW(c, DARK_CONTROL_PROPERTY) == (HANDLE)1;
      return marked; }

    ImportPatch patch{"kernel32.dll", "GetProcAddress", (void*)FakeGetProcAddress};
    ThemeSetting setting;
    UiDialogRun* run = nullptr; HWND dialog = nullptr;
};

TEST_F(ThemeTest, BothDialogsFollowTheSettingAtStartAndWhenItChanges)
{
    const struct { int templateId; DLGPROC proc; std::vector<std::pair<int, const WCHAR*>> themes; } kDialogs[] = {
        {IDD_MAIN, MainDlgProc, {{IDC_LIVE_TRACING, kExplorer}, {IDC_LEVEL, kCfd}, {IDC_ADVANCED, kExplorer},
            {IDC_ENABLE, kExplorer}, {IDC_DISABLE, kExplorer}, {IDC_SAVE_LOG, kExplorer}, {-1, kDark}, {-2, kDark}}},
        {IDD_LIVE, LiveDlgProc, {{IDC_LIVE_PAUSE, kExplorer}, {IDC_LIVE_CLEAR, kExplorer}, {IDC_LIVE_COPY, kExplorer},
            {IDC_LIVE_SAVE, kExplorer}, {IDC_LIVE_LEVEL, kCfd}, {IDC_LIVE_FIND, kCfd}, {IDC_LIVE_AUTOSCROLL, kDark},
            {IDC_LIVE_VIEW, kExplorer}}},
    };
    const struct { bool dark; const WCHAR* text; Calls calls; } kSteps[] = {
        {true, nullptr, {}}, {true, L"Policy", {}}, {true, L"immersivecolorset", {}},
        {true, L"ImmersiveColorSet", {L"version 276 ", L"opt-in 1 ", L"title bar 20 1 4 ",
                                      L"open DarkMode_DarkTheme::Button 0", L"colour 1 4 1 3803 ", L"close 1 "}},
        {false, L"ImmersiveColorSet", {L"title bar 20 0 4 "}},
        {true, L"ImmersiveColorSet", {L"title bar 20 1 4 "}},   // opted in and probed once only
        {true, nullptr, {L"title bar 20 1 4 "}},                 // opened dark
    };
    ImportPatch dibits("gdi32.dll", "GetDIBits", (void*)CountingGetDIBits);
    realGetDIBits = dibits.original<decltype(&GetDIBits)>(), banner.darkBannerBitmap = banner.darkBannerSource = nullptr, dibReads = 0;
    for (const auto& d : kDialogs) {
        SetUp(), Open(d.templateId, d.proc, false);
        EXPECT_EQ(Calls{L"title bar 20 0 4 "}, sys.calls) << "light at start";
        EXPECT_EQ(0u, sys.themes.size() + MarkedControls());
        for (const auto& step : kSteps) {
            SCOPED_TRACE(testing::Message() << "dialog " << d.templateId << ", " << step.dark << " " << Text(step.text).c_str());
            &step != std::end(kSteps) - 1 ? Switch(step.dark, step.text)
                                          : (Close(), sys.calls.clear(), sys.themes.clear(), Open(d.templateId, d.proc, true));
            EXPECT_EQ(step.calls, sys.calls);
            EXPECT_EQ(step.dark && !step.calls.empty() ? d.themes.size() : 0, MarkedControls());
            EXPECT_EQ(step.calls.empty() ? 0 : d.themes.size(), sys.themes.size()) << "no other control";
            for (const auto& [id, theme] : d.themes) {
                HWND control = id > 0 ? Control(id) : FindWindowExW(dialog, nullptr, L"Button", id == -1 ? L"Live tracing" : L"Persistent tracing");
                EXPECT_EQ(step.calls.empty() ? L"" : step.dark ? theme : L"null|null", sys.themes[control]) << id;
            }
            EXPECT_TRUE(d.templateId != IDD_MAIN || &step != &kSteps[5] || dibReads == 1) << "the dark banner is made once, and kept";
            if (d.templateId != IDD_MAIN || (&step != &kSteps[3] && &step != &kSteps[4]))
                continue;
            // On screen after the switch: dialog and banner background, bitmap 10 px from the right, title.
            const DWORD background = step.dark ? 0x202020 : 0xFFFFFF, title = step.dark ? 0xE8E8E8 : 0;
            HWND control = Control(IDC_BANNER);
            const SIZE size = ClientSize(control);
            const int left = size.cx - 136 - 10, top = (size.cy - 41) / 2, reads = dibReads;   // the test's own reads not counted
            std::vector<DWORD> shown, bitmap;
            RunOnUiThread(run, [&] {
                HDC window = GetDC(control), memory = CreateCompatibleDC(window);
                HBITMAP capture = CreateCompatibleBitmap(window, size.cx, size.cy);
                HGDIOBJ previous = SelectObject(memory, capture);
                BitBlt(memory, 0, 0, size.cx, size.cy, window, 0, 0, SRCCOPY), SelectObject(memory, previous), DeleteDC(memory);
                shown = PixelsOf(capture, size.cx, size.cy), DeleteObject(capture), ReleaseDC(control, window);
                bitmap = PixelsOf(step.dark ? banner.darkBannerBitmap : banner.bannerBitmap, 136, 41), dibReads = reads;
            });
            ASSERT_TRUE(banner.bannerWidth == 136 && banner.bannerHeight == 41);
            int titlePixels = 0;
            for (int y = 0; y < size.cy; ++y) {
                titlePixels += std::count(shown.begin() + y * size.cx, shown.begin() + y * size.cx + 150, title);
                for (int x = left; y >= top + 8 && y < top + 41 && x < size.cx; ++x)   // rows under the version line
                    ASSERT_EQ(x < left + 136 ? bitmap[(y - top) * 136 + x - left] : background, shown[y * size.cx + x]) << x << ", " << y;
            }
            EXPECT_LT(20, titlePixels);
            EXPECT_EQ(step.dark ? RGB(32, 32, 32) : GetSysColor(COLOR_3DFACE), Pixel(dialog, 2, size.cy + 20));
        }
        Close();
    }
}

TEST(BannerTest, RecolorForDarkPixelTable)
{
    const DWORD kInput[] = {0xFFFFFF, 0xFEFEFE, 0x000000, 0x808080, 0x282828, 0x64648C, 0xFF0000, 0x0078D7, 0xC8DCFF};
    const std::vector<DWORD> kOutput = {0x202020, 0x202020, 0xE8E8E8, 0x838383, 0xC8C8C8, 0x999999, 0xFF0000, 0x0078D7, 0x192D50};
    HBITMAP bitmap = CreateBitmap(9, 1, 1, 32, kInput), dark = RecolorForDark(bitmap);
    EXPECT_EQ(kOutput, PixelsOf(dark, 9, 1));
    DeleteObject(bitmap), DeleteObject(dark), banner.darkBannerBitmap = banner.darkBannerSource = nullptr;   // it was cached
}

// The colour answers for each form the setting may take: only a DWORD 0 is dark.
TEST_F(ThemeTest, ColourAnswersFollowTheSetting)
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
    const DWORD zero[2] = {}, one = 1;
    const struct { const char* name; DWORD type; const void* data; DWORD size; bool dark; } kSettings[] = {
        {"DWORD 0", REG_DWORD, zero, 4, true}, {"missing", REG_NONE, nullptr, 0, false}, {"DWORD 1", REG_DWORD, &one, 4, false},
        {"string \"0\"", REG_SZ, L"0", 4, false}, {"binary 0", REG_BINARY, zero, 4, false}, {"QWORD 0", REG_QWORD, zero, 8, false}};
    std::set<INT_PTR> brushes;   // every one handed out
    HDC dc = CreateCompatibleDC(nullptr);
    for (const auto& s : kSettings) {
        s.type == REG_NONE ? setting.Remove() : setting.Write(s.type, s.data, s.size);
        for (const auto& c : kCases) {
            SCOPED_TRACE(testing::Message() << s.name << ", message 0x" << std::hex << c.message << ", control " << c.id);
            SetTextColor(dc, kKeep), SetBkColor(dc, kKeep), SetBkMode(dc, c.mode == OPAQUE ? TRANSPARENT : OPAQUE);
            INT_PTR brush = -1;
            EXPECT_EQ(s.dark && c.brush != CLR_NONE, HandleThemeMessage(dialog, c.message, (WPARAM)dc, (LPARAM)Control(c.id), &brush));
            LOGBRUSH colour = {0, CLR_NONE, 0};
            GetObjectW((HBRUSH)brush, sizeof(colour), &colour), brushes.insert(brush);
            EXPECT_EQ(Join(s.dark ? c.brush : CLR_NONE, s.dark ? c.text : kKeep, s.dark ? c.background : kKeep),
                      Join(colour.lbColor, GetTextColor(dc), GetBkColor(dc))) << "brush, text, background";
            EXPECT_EQ(s.dark && c.mode ? c.mode : c.mode == OPAQUE ? TRANSPARENT : OPAQUE, GetBkMode(dc));
        }
    }
    EXPECT_EQ(3u, brushes.size()) << "none, and one per colour, made once";
    DeleteDC(dc);
}

// Two dark passes: version and opt-in asked once; the title bar's earlier attribute if the first fails; button themes.
TEST_F(ThemeTest, OptInAndButtonThemeFollowWhatTheSystemHas)
{
    Open(0, OwnDlgProc, true);
    const struct { DWORD build; LONG status; bool hasVersion, opens; BYTE green; HRESULT titleBar20; const WCHAR* seen; } kCases[] = {
        {17763, 0, true, true, 129, S_OK, L"version 276 ; opt-in 1 ; DarkMode_DarkTheme|null DarkMode_DarkTheme|null DarkMode_DarkTheme|null"},
        {17762, 0, true, true, 128, E_INVALIDARG, L"version 276 ; title bar 19 1 4 ; title bar 19 1 4 ; | | DarkMode_Explorer|null"},
        {22000, (LONG)0xC0000001, true, false, 255, S_OK, L"version 276 ; | | DarkMode_Explorer|null"},
        {22000, 0, false, true, 255, S_OK, L"DarkMode_DarkTheme|null DarkMode_DarkTheme|null DarkMode_DarkTheme|null"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << "build " << c.build << ", status " << c.status << ", green " << (int)c.green);
        SetUp();
        sys.build = c.build, sys.versionStatus = c.status, sys.hasVersion = c.hasVersion, sys.themeOpens = c.opens;
        sys.groupBoxGreen = c.green, sys.titleBar20 = c.titleBar20, DarkPass(), DarkPass();
        std::wstring seen;
        for (const std::wstring& call : sys.calls)
            seen += call.compare(0, 7, L"version") && call.compare(0, 6, L"opt-in") && call.compare(0, 12, L"title bar 19") ? L"" : call + L"; ";
        EXPECT_EQ(c.seen, seen + sys.themes[Control(kGroup)] + L" " + sys.themes[Control(kRadio)] + L" " + sys.themes[Control(kCheck)]);
    }
}

TEST_F(ThemeTest, ListViewsTakeTheColoursAndADarkHeader)
{
    ImportPatch drawText("user32.dll", "DrawTextW", (void*)RecordDrawTextW);
    realDrawTextW = drawText.original<decltype(&DrawTextW)>(), Open(0, OwnDlgProc, true);
    HWND list = Control(kList), header = (HWND)SendMessageW(list, LVM_GETHEADER, 0, 0);
    auto subclassed = [&] {   // the subclass answers the header's pre-paint while the theme is dark
        NMCUSTOMDRAW draw = {{header, 0, (UINT)NM_CUSTOMDRAW}, CDDS_PREPAINT, nullptr, {}, 0, 0, 0};
        return SendMessageW(list, WM_NOTIFY, 0, (LPARAM)&draw) == (CDRF_NOTIFYITEMDRAW | CDRF_NOTIFYPOSTPAINT);
    };
    auto colours = [&] { return Join(subclassed(), SendMessageW(list, LVM_GETBKCOLOR, 0, 0), SendMessageW(list, LVM_GETTEXTBKCOLOR, 0, 0),
                                     SendMessageW(list, LVM_GETTEXTCOLOR, 0, 0)); };   // and the header's own paint
    DarkPass();
    EXPECT_EQ(Join(true, RGB(43, 43, 43), RGB(43, 43, 43), RGB(232, 232, 232)), colours());
    RECT first, last, client;
    SendMessageW(header, HDM_GETITEMRECT, 0, (LPARAM)&first), SendMessageW(header, HDM_GETITEMRECT, 2, (LPARAM)&last);
    GetClientRect(header, &client), sys.texts.clear();
    RunOnUiThread(run, [header] { RedrawWindow(header, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW); });
    const int kFormat = DT_END_ELLIPSIS | DT_NOPREFIX | DT_SINGLELINE | DT_VCENTER, kText = RGB(232, 232, 232);
    EXPECT_EQ((Calls{L"Name " + Join(first.left + 6, kFormat, kText), L"A title far too long for its column " +
                     Join(first.right + 6, kFormat, kText), L"Size " + Join(last.left + 6, kFormat, kText)}), sys.texts)
        << "left-aligned, with an ellipsis, light";
    EXPECT_EQ(RGB(43, 43, 43), Pixel(header, first.left + 2, first.top + 2));
    EXPECT_EQ(RGB(80, 80, 80), Pixel(header, first.right - 1, first.top + 2)) << "divider";
    EXPECT_EQ(RGB(80, 80, 80), Pixel(header, first.left + 2, first.bottom - 1)) << "bottom line";
    EXPECT_EQ(RGB(43, 43, 43), Pixel(header, (last.right + client.right) / 2, client.bottom / 2)) << "empty area";
    EXPECT_EQ(RGB(43, 43, 43), Pixel((HWND)SendMessageW(Control(kEmptyList), LVM_GETHEADER, 0, 0), 10, 5)) << "no item";

    DarkPass();   // one light pass removes what two dark passes installed, which would answer were the setting dark
    Switch(false), setting.SetDark(true);
    EXPECT_EQ(Join(false, GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOWTEXT)), colours());
}

}  // namespace
