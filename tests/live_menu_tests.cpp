// The Live Tracing window resized, its view's context menu read while it is
// open and answered with its mnemonics, the process filter, the view's keys.
#include "tests/live_window_fixture.h"

#include <tlhelp32.h>

#include "live/live_context_menu.h"
#include "test_support/import_patch.h"

namespace {

TEST_F(LiveWindowTest, LayoutFollowsTheWindowSize)
{
    Open();
    const int kManaged[] = {IDC_LIVE_PAUSE, IDC_LIVE_CLEAR, IDC_LIVE_COPY, IDC_LIVE_SAVE, IDC_LIVE_LEVEL_LABEL,
                            IDC_LIVE_LEVEL, IDC_LIVE_FIND_LABEL, IDC_LIVE_FIND, IDC_LIVE_AUTOSCROLL, IDC_LIVE_VIEW};
    auto rects = [&] {
        std::vector<RECT> all;
        for (int id : kManaged)
            all.push_back(ChildRect(window, id));
        return all;
    };
    RECT opened;
    GetWindowRect(window, &opened);
    auto resize = [&](int dx, int dy) {
        RunOnUiThread(run, [&] { SetWindowPos(window, nullptr, 0, 0, opened.right - opened.left + dx,
                                              opened.bottom - opened.top + dy, SWP_NOMOVE | SWP_NOZORDER); });
    };
    std::vector<RECT> before = rects();
    int rightMargin = ClientSize(window).cx - before.back().right;
    resize(100, 80);
    std::vector<RECT> after = rects();
    for (size_t i = 0; i < after.size(); ++i) {
        int id = kManaged[i];
        RECT want = before[i];
        OffsetRect(&want, id == IDC_LIVE_AUTOSCROLL ? 100 : 0, 0);
        want.right += id == IDC_LIVE_FIND || id == IDC_LIVE_VIEW ? 100 : 0;
        want.bottom += id == IDC_LIVE_VIEW ? 80 : 0;
        EXPECT_TRUE(EqualRect(&want, &after[i])) << "control " << id;
    }
    RECT bar;
    GetWindowRect(statusBar, &bar);
    MapWindowPoints(HWND_DESKTOP, window, (POINT*)&bar, 2);
    EXPECT_EQ(after.back().bottom + after.back().left, bar.top) << "the gap is the view's left margin";
    EXPECT_EQ(ClientSize(window).cy, bar.bottom);

    RunOnUiThread(run, [&] { ShowWindow(window, SW_MINIMIZE); ShowWindow(window, SW_RESTORE); });
    EXPECT_EQ(0, memcmp(after.data(), rects().data(), after.size() * sizeof(RECT))) << "minimise, restore";
    resize(-10000, -10000);
    RECT smallest;
    GetWindowRect(window, &smallest);
    EXPECT_EQ(opened.right - opened.left, smallest.right - smallest.left);
    EXPECT_EQ((opened.bottom - opened.top) / 2, smallest.bottom - smallest.top);
    RunOnUiThread(run, [&] { ShowWindow(window, SW_MAXIMIZE); });
    EXPECT_GE(ClientSize(window).cx, GetSystemMetrics(SM_CXSCREEN) - 16) << "maximised";
    EXPECT_EQ(rightMargin, ClientSize(window).cx - ChildRect(window, IDC_LIVE_VIEW).right);
}

TEST(ContextMenuTest, PidAtColumn19)
{
    const struct { const WCHAR* line; DWORD pid; } kCases[] = {
        {L"09:05:03.007  INF    4242:77      x", 4242}, {L"09:05:03.007  INF  4294967295:1", 4294967295u},
        {L"09:05:03.007  INF  4294967296:1", 0}, {L"09:05:03.007  INF  42949672950:1", 0},
        {L"09:05:03.007  INF    4242 77", 0}, {L"09:05:03.007  INF    4242", 0}, {L"09:05:03.007  INF  x42:1", 0},
        {L"09:05:03.007  INF    ", 0}, {L"short", 0},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(c.pid, ParsePidFromLine(c.line, wcslen(c.line))) << c.line;
}

const WCHAR kCommands[] = L"Show all &processes 1032 (grey)|-|&Copy all\tCtrl+C 1020|Select &all\tCtrl+A 1021|-|"
                          L"&Save... 1023|C&lear 1022|";

class LiveMenuTest : public LiveWindowTest {
protected:
    // Asks for the menu as a right click at `point` (view client
    // coordinates) or the menu key (null) does, reads it while it is open,
    // one "text id" per item ("(grey)" when greyed, "-" for a separator),
    // then answers it with `key` (a mnemonic, or VK_ESCAPE).
    std::wstring Menu(const POINT* point, WPARAM key = VK_ESCAPE)
    {
        POINT screen = point ? *point : POINT{};
        ClientToScreen(view, &screen);
        PostMessageW(view, WM_CONTEXTMENU, (WPARAM)view, point ? MAKELPARAM(screen.x, screen.y) : (LPARAM)-1);
        HWND popup = WaitForWindow(L"#32768", nullptr);
        HMENU menu = (HMENU)SendMessageW(popup, MN_GETHMENU, 0, 0);
        std::wstring rows;
        for (int i = 0; i < GetMenuItemCount(menu); ++i) {
            WCHAR text[128] = L"";
            MENUITEMINFOW item = {};
            item.cbSize = sizeof(item);
            item.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_STRING;
            item.dwTypeData = text;
            item.cch = 128;
            GetMenuItemInfoW(menu, i, TRUE, &item);
            if (item.fType & MFT_SEPARATOR)
                rows += L"-|";
            else
                rows += text + (L" " + std::to_wstring(item.wID)) + ((item.fState & MFS_GRAYED) ? L" (grey)|" : L"|");
        }
        PostMessageW(window, key == VK_ESCAPE ? WM_KEYDOWN : WM_CHAR, key, 0);
        EXPECT_TRUE(WaitForWindowGone(popup));
        RunOnUiThread(run, [] {});
        return rows;
    }
    std::wstring MenuAtLine(int line, WPARAM key = VK_ESCAPE)
    {
        POINTL corner = {};
        SendMessageW(view, EM_POSFROMCHAR, (WPARAM)&corner, RichEditLineStart(view, line));
        POINT point = {corner.x + 30, corner.y + 3};
        return Menu(&point, key);
    }
    static std::wstring ProcessItems(const std::wstring& label)
    {
        return L"Show &only " + label + L" 1030|&Hide " + label + L" 1031|";
    }
};

TEST_F(LiveMenuTest, MenuOffersTheProcessOfTheLineUnderThePoint)
{
    Open();
    Log(4, L"own process", GetCurrentProcessId());
    Log(4, L"Reader::Open(42) : gone process", 4242);
    ASSERT_TRUE(WaitForLastBody(L"gone process"));
    WCHAR path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    *wcsrchr(path, L'.') = L'\0';
    std::wstring self = L"PID " + std::to_wstring(GetCurrentProcessId()) + L" (" + (wcsrchr(path, L'\\') + 1) + L")";
    EXPECT_EQ(ProcessItems(self) + kCommands, MenuAtLine(0)) << "a status line: this process";
    EXPECT_EQ(ProcessItems(L"PID 4242") + kCommands, MenuAtLine(2)) << "a process that is gone";
    POINT below = {40, ClientSize(view).cy - 4};
    EXPECT_EQ(kCommands, Menu(&below)) << "below the last line";
    // The menu key: the line 16 pixels inside the view's corner, not the caret's.
    CHARRANGE selection = {RichEditLineStart(view, 2) + 3, RichEditLineStart(view, 2) + 5};
    SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&selection);
    std::wstring keyboard = Menu(nullptr);
    EXPECT_EQ(0u, keyboard.find(ProcessItems(self))) << keyboard;
    EXPECT_NE(std::wstring::npos, keyboard.find(L"|&Copy\tCtrl+C 1020|")) << "with a selection";
}

// The snapshot's names: ".exe" cut in any case, a 40-character name first
// cut to 31 characters.
const WCHAR* snapshotName = nullptr;
BOOL WINAPI OneProcess(HANDLE, LPPROCESSENTRY32W entry)
{
    entry->th32ProcessID = 4242;
    wcscpy(entry->szExeFile, snapshotName);
    return TRUE;
}

TEST_F(LiveMenuTest, ProcessNamesFromTheSnapshot)
{
    ImportPatch patch("kernel32.dll", "Process32FirstW", (void*)OneProcess);
    ASSERT_TRUE(patch.active());
    Open();
    Log(4, L"x", 4242);
    ASSERT_TRUE(WaitForLastBody(L"x"));
    const WCHAR* const kNames[][2] = {
        {L"svchost.exe", L"svchost"}, {L"SVCHOST.EXE", L"SVCHOST"}, {L".exe", L".exe"},
        {L"abcdefghijklmnopqrstuvwxyz_1234567890.exe", L"abcdefghijklmnopqrstuvwxyz_1234"},
    };
    for (const auto& name : kNames) {
        snapshotName = name[0];
        EXPECT_EQ(ProcessItems(L"PID 4242 (" + std::wstring(name[1]) + L")") + kCommands, MenuAtLine(1));
    }
}

TEST_F(LiveMenuTest, ProcessFilterFromTheMenu)
{
    Open();
    for (DWORD pid = 101; pid <= 109; ++pid)
        Log(4, L"line", pid);
    Log(4, L"last", 4242);
    ASSERT_TRUE(WaitForLastBody(L"last"));
    auto captured = [&](const std::wstring& filter) { return WaitForStatus(0, L" Captured: 11" + filter); };
    // Show only 4242; hide this process (a status line's): the show-only
    // filter goes; show only 4242: the hidden list goes; show all.
    MenuAtLine(10, L'o');
    EXPECT_TRUE(captured(L"  -  showing only PID 4242"));
    EXPECT_EQ(2, LineCount());
    EXPECT_NE(std::wstring::npos, MenuAtLine(0).find(L"|Show all &processes 1032|")) << "a filter: not greyed";
    MenuAtLine(0, L'h');
    EXPECT_TRUE(captured(L"  -  hiding PID " + std::to_wstring(GetCurrentProcessId())));
    EXPECT_EQ(11, LineCount()) << "status lines pass every filter";
    MenuAtLine(10, L'o');
    EXPECT_TRUE(captured(L"  -  showing only PID 4242"));
    MenuAtLine(1, L'p');
    EXPECT_TRUE(captured(L""));
    EXPECT_EQ(11, LineCount());

    // Eight processes hidden, a ninth not; the same one again (a stale
    // command) changes nothing and does not rebuild.
    for (int i = 0; i < 9; ++i)
        MenuAtLine(1, L'h');
    EXPECT_TRUE(captured(L"  -  hiding PID 101, 102, 103, 104, 105, 106, 107, 108"));
    EXPECT_EQ(L"line", BodyOf(LineText(1))) << "109 still shown";
    int rebuilds = 0;
    RunOnUiThread(run, [&] {
        liveState.contextPid = 104;
        SetWindowSubclass(view, CountSetText, 1, (DWORD_PTR)&rebuilds);
        SendMessageW(window, WM_COMMAND, IDM_LIVE_HIDE, 0);
        RemoveWindowSubclass(view, CountSetText, 1);
    });
    EXPECT_EQ(0, rebuilds);
}

TEST_F(LiveMenuTest, KeysInTheView)
{
    Open();
    // Ctrl held while the key's messages go through the window's own loop.
    auto pressWithControl = [&](UINT key, const std::function<bool()>& done) {
        BYTE keys[256];
        RunOnUiThread(run, [&] { GetKeyboardState(keys); keys[VK_CONTROL] = 0x80; SetKeyboardState(keys); });
        PressKey(window, key);
        EXPECT_TRUE(WaitUntil(done)) << "Ctrl+" << (char)key;
        RunOnUiThread(run, [&] { keys[VK_CONTROL] = 0; SetKeyboardState(keys); });
    };
    GETTEXTLENGTHEX length = {GTL_NUMCHARS | GTL_PRECISE, 1200};
    LRESULT textLength = SendMessageW(view, EM_GETTEXTLENGTHEX, (WPARAM)&length, 0);
    pressWithControl('A', [&] {
        CHARRANGE all = {};
        SendMessageW(view, EM_EXGETSEL, 0, (LPARAM)&all);
        return all.cpMin == 0 && all.cpMax >= textLength;
    });
    pressWithControl('F', [&] { return FocusOf(window) == GetDlgItem(window, IDC_LIVE_FIND); });
    // Wine's rich edit moves on at Tab by itself; Windows' asks the dialog.
    MSG tab = {view, WM_KEYDOWN, VK_TAB, 0, 0, {}};
    EXPECT_EQ(0, SendMessageW(view, WM_GETDLGCODE, VK_TAB, (LPARAM)&tab) & (DLGC_WANTTAB | DLGC_WANTALLKEYS));
    RunOnUiThread(run, [&] { SetFocus(view); });
    PressKey(window, VK_TAB);
    EXPECT_TRUE(WaitUntil([&] { return FocusOf(window) == GetDlgItem(window, IDC_LIVE_PAUSE); })) << "Tab leaves";
    RunOnUiThread(run, [&] { SetFocus(view); });
    PressKey(window, VK_ESCAPE);
    EXPECT_TRUE(WaitForWindowGone(window));
}

HMENU WINAPI NoMenu()
{
    return nullptr;
}
HANDLE WINAPI NoSnapshot(DWORD, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}
HDWP WINAPI NoDeferral(HDWP, HWND, HWND, int, int, int, int, UINT)
{
    return nullptr;
}

TEST_F(LiveMenuTest, FailuresLeaveTheWindowAsItWas)
{
    Open();
    {
        ImportPatch patch("kernel32.dll", "CreateToolhelp32Snapshot", (void*)NoSnapshot);
        EXPECT_EQ(ProcessItems(L"PID " + std::to_wstring(GetCurrentProcessId())) + kCommands, MenuAtLine(0));
    }
    {
        ImportPatch patch("user32.dll", "CreatePopupMenu", (void*)NoMenu);
        liveState.contextPid = 77;
        PostMessageW(view, WM_CONTEXTMENU, (WPARAM)view, (LPARAM)-1);
        RunOnUiThread(run, [] {});
        EXPECT_EQ(nullptr, FindTopWindow(L"#32768", nullptr));
        EXPECT_EQ(77u, liveState.contextPid) << "no menu, nothing changed";
    }
    RECT opened = ChildRect(window, IDC_LIVE_VIEW), window0;
    GetWindowRect(window, &window0);
    auto widen = [&](int dx) {
        RunOnUiThread(run, [&] { SetWindowPos(window, nullptr, 0, 0, window0.right - window0.left + dx,
                                              window0.bottom - window0.top, SWP_NOMOVE | SWP_NOZORDER); });
        return ChildRect(window, IDC_LIVE_VIEW).right - opened.right;
    };
    {
        ImportPatch patch("user32.dll", "DeferWindowPos", (void*)NoDeferral);
        EXPECT_EQ(0, widen(50)) << "a failed deferral moves nothing";
    }
    EXPECT_EQ(60, widen(60)) << "the next resize lays out again";
}

}  // namespace
