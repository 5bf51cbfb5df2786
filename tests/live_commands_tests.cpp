// Clear, Copy and Save... of the Live Tracing window; the view's context menu
// read while open and answered with its mnemonics; the view's keys.
#include "tests/live_window_fixture.h"

#include <stdlib.h>
#include <tlhelp32.h>

#include "live/line_store.h"
#include "live/live_context_menu.h"
#include "test_support/import_patch.h"
#include "test_support/temp_dir.h"

namespace {

// Takes the clipboard's text, leaving the clipboard empty.
std::wstring TakeClipboardText()
{
    std::wstring text = L"<no text>";
    if (!WaitUntil([] { return OpenClipboard(nullptr) != FALSE; }))
        return L"<clipboard busy>";
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        text = (const WCHAR*)GlobalLock(data);
        GlobalUnlock(data);
    }
    EmptyClipboard();
    CloseClipboard();
    return text;
}

// UTF-16LE bytes of a text file as Save writes it.
std::string SavedBytes(const std::vector<std::wstring>& lines)
{
    std::wstring text = L"\xFEFF";
    for (const std::wstring& line : lines)
        text += line + L"\r\n";
    return std::string((const char*)text.data(), text.size() * sizeof(WCHAR));
}

// While armed, a consumer's line arrives when the GUI thread lets storeLock go.
bool appendOnRelease = false;
ImportPatch* leavePatch = nullptr;
void WINAPI LeaveThenAppend(LPCRITICAL_SECTION section)
{
    leavePatch->original<decltype(&LeaveCriticalSection)>()(section);
    if (!appendOnRelease || section != &liveState.storeLock ||
        section->OwningThread == (HANDLE)(ULONG_PTR)GetCurrentThreadId())
        return;
    appendOnRelease = false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    AppendLiveLine(&now, 4242, 77, 4, 0, _wcsdup(L"arrived during Clear"));
}

// Clear empties the view and the error count, not the captured count; a line
// that arrives while Clear runs is shown after it.
TEST_F(LiveWindowTest, ClearEmptiesTheViewAndKeepsTheCapturedCount)
{
    ImportPatch patch("kernel32.dll", "LeaveCriticalSection", (void*)LeaveThenAppend);
    ASSERT_TRUE(patch.active());
    leavePatch = &patch;
    Open();
    Log(2, L"Pin::Verify(7) : wrong PIN");
    Log(4, L"Reader::Open(42) : card inserted");
    ASSERT_TRUE(WaitForStatus(1, L" Errors: 1"));
    RunOnUiThread(run, [&] {
        appendOnRelease = true;
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_LIVE_CLEAR, BN_CLICKED), 0);
        appendOnRelease = false;
    });
    EXPECT_TRUE(WaitForLastBody(L"arrived during Clear"));
    EXPECT_EQ(1, LineCount());
    EXPECT_TRUE(WaitForStatus(0, L" Captured: 4"));
    EXPECT_EQ(L" Errors: 0", Status(1));
    EXPECT_EQ(L" Running", Status(2));

    Log(4, L"Reader::Close(43) : card removed");
    ASSERT_TRUE(WaitUntil([&] { return LineCount() == 2; }));
    EXPECT_EQ(Shown(L"TIME  INF    4242:77      Reader::Close(43)           card removed"), Lines()[1]);
    EXPECT_TRUE(WaitForStatus(0, L" Captured: 5"));
    Close();
    leavePatch = nullptr;
}

TEST_F(LiveWindowTest, CopyTakesTheSelectionOrElseEveryShownLineAndKeepsThePlace)
{
    Open();
    LogNumbered(0, 100);
    Log(1, L"Logon::Fail(9) : no certificate");
    ASSERT_TRUE(WaitUntil([&] { return LineCount() == 102; }));
    std::wstring all;
    for (const std::wstring& line : Lines())
        all += line + L"\r\n";

    CHARRANGE caret = {5, 5};
    SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&caret);
    ScrollToLine(40);
    ASSERT_EQ(40, FirstVisibleLine());
    TakeClipboardText();
    Press(IDC_LIVE_COPY);
    EXPECT_EQ(all, TakeClipboardText());
    CHARRANGE after = {-1, -1};
    SendMessageW(view, EM_EXGETSEL, 0, (LPARAM)&after);
    EXPECT_EQ(5, after.cpMin) << "the selection is put back";
    EXPECT_EQ(5, after.cpMax);
    EXPECT_EQ(40, FirstVisibleLine()) << "the view stays where it was";
    // A theme change renders every line again, and leaves them in place.
    CHARRANGE some = {LineStart(45) + 2, LineStart(46) + 7};
    SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&some);
    ScrollToLine(40);
    theme.SetDark(true);
    SendMessageW(window, WM_SETTINGCHANGE, 0, (LPARAM)L"ImmersiveColorSet");
    SendMessageW(view, EM_EXGETSEL, 0, (LPARAM)&after);
    EXPECT_EQ(LineStart(45) + 2, after.cpMin);
    EXPECT_EQ(LineStart(46) + 7, after.cpMax);
    EXPECT_EQ(40, FirstVisibleLine()) << "after a theme change";

    LONG start = LineStart(101) + (LONG)kBodyColumn;
    CHARRANGE body = {start, start + 14};
    SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&body);
    Press(IDC_LIVE_COPY);
    EXPECT_EQ(L"no certificate", TakeClipboardText());
}

// A disk that takes its time: the first write waits until 60000 events
// have reached the store.
ImportPatch* slowPatch = nullptr;
bool slowArmed = false, slowDelivered = false;
BOOL WINAPI WriteSlowly(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (slowArmed && GetFileType(file) == FILE_TYPE_DISK) {
        slowArmed = false;
        for (DWORD i = 0; i < 60000; ++i)
            EtwEmuLogEvent(&providerTable[0], 4, 4242, 77, 133590279030070000ll, L"flood", 12);
        slowDelivered = EtwEmuWaitDelivered(LIVE_SESSION_NAME, 10000) != FALSE;
    }
    return slowPatch->original<decltype(&WriteFile)>()(file, data, bytes, written, overlapped);
}

TEST_F(LiveWindowTest, SaveWritesEveryVisibleHeldLineRenderedOrNot)
{
    Open();
    Log(4, L"Reader::Open(42) : card\r\ninserted");
    Log(5, L"verbose detail");
    Log(2, L"Pin::Verify(7) : wrong PIN", 99, 1);
    ChooseComboItem(window, IDC_LIVE_LEVEL, 3);
    ASSERT_TRUE(WaitUntil([&] { return LineCount() == 3; }));
    std::wstring started = Lines()[0];
    Press(IDC_LIVE_PAUSE);
    Log(3, L"removed while paused", 7, 8);

    TempDir directory;
    std::wstring path = directory / L"live.txt";
    ClickButton(window, IDC_LIVE_SAVE);
    ASSERT_TRUE(AnswerSaveDialog(window, path.c_str()));
    std::string expected = SavedBytes({
        started,
        Shown(L"TIME  INF    4242:77      Reader::Open(42)            card  inserted"),
        Shown(L"TIME  ERR      99:1       Pin::Verify(7)              wrong PIN"),
        Shown(L"TIME  WRN       7:8                                   removed while paused"),
    });
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(path) == expected; }));
    EXPECT_EQ(3, LineCount()) << "saving does not render";

    // A slow disk: 60000 events arrive while the first part of the file is
    // written. The consumer stores them meanwhile, and the held lines they
    // push out before their turn are counted in the file where they belong.
    Press(IDC_LIVE_CLEAR);
    LogNumbered(0, 2000);
    ImportPatch patch("kernel32.dll", "WriteFile", (void*)WriteSlowly);
    ASSERT_TRUE(patch.active());
    slowPatch = &patch;
    slowArmed = true;
    ClickButton(window, IDC_LIVE_SAVE);
    ASSERT_TRUE(AnswerSaveDialog(window, path.c_str()));
    MessageBoxSeen box;
    ASSERT_TRUE(WaitForMessageBox(&box));
    EXPECT_TRUE(PressMessageBoxButton(box, IDYES)) << box.text;
    ASSERT_TRUE(WaitUntil([&] { return !slowArmed; }));
    RunOnUiThread(run, [] {});
    EXPECT_TRUE(slowDelivered) << "the consumer waited for the disk";
    std::string bytes = ReadFileBytes(path);
    std::wstring text((const WCHAR*)bytes.data(), bytes.size() / 2);
    std::vector<std::wstring> lines;
    for (size_t at = 1, end; (end = text.find(L"\r\n", at)) != std::wstring::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    ASSERT_GT(lines.size(), 2u);
    size_t written = lines.size() - 1;
    for (size_t i = 0; i < written; ++i)
        ASSERT_EQ(Numbered((DWORD)i), BodyOf(lines[i])) << i;
    EXPECT_LT(written, 2000u);
    EXPECT_EQ(L"***", lines.back().substr(14, 3));
    EXPECT_EQ(std::to_wstring(2000 - written) + L" line(s) dropped out of memory before they could be saved.",
              BodyOf(lines.back()));
}

// A full disk: every write to a file fails.
BOOL WINAPI WriteToFullDisk(HANDLE file, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    if (written != nullptr)
        *written = 0;
    SetLastError(GetFileType(file) == FILE_TYPE_DISK ? ERROR_DISK_FULL : ERROR_INVALID_HANDLE);
    return FALSE;
}

// Replacing a file is asked first. A full disk, or a file held by another
// program, is reported once the file is closed.
TEST_F(LiveWindowTest, SaveAsksBeforeReplacingAndReportsWhatFails)
{
    TempDir directory;
    std::wstring existing = directory / L"existing.txt", locked = directory / L"locked.txt";
    ASSERT_TRUE(WriteFileBytes(existing, "old"));
    HANDLE holder = CreateFileW(locked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    Open();
    MessageBoxSeen box;
    auto save = [&](const std::wstring& path, int answer) {
        ClickButton(window, IDC_LIVE_SAVE);
        ASSERT_TRUE(AnswerSaveDialog(window, path.c_str()));
        ASSERT_TRUE(WaitForMessageBox(&box));
        EXPECT_NE(std::wstring::npos, box.text.find(L"already exists")) << box.text;
        EXPECT_TRUE(PressMessageBoxButton(box, answer));
        EXPECT_TRUE(answer == IDNO || WaitForMessageBox(&box, window));
        EXPECT_TRUE(answer == IDNO || (box.caption == L"Live Tracing" && box.icon == MB_ICONERROR));
    };
    save(existing, IDNO);
    EXPECT_TRUE(CancelSaveDialog(window));
    RunOnUiThread(run, [] {});
    EXPECT_EQ("old", ReadFileBytes(existing));
    {
        ImportPatch patch("kernel32.dll", "WriteFile", (void*)WriteToFullDisk);
        save(existing, IDYES);
        EXPECT_EQ(L"Unable to write the file (0x00000070)", box.text);
        bool closed = false;
        EXPECT_EQ("", ReadFileBytes(existing, &closed)) << "replaced";
        EXPECT_TRUE(closed) << "closed before the message";
        EXPECT_TRUE(PressMessageBoxButton(box, IDOK));
    }
    save(locked, IDYES);
    EXPECT_EQ(L"Unable to create the file (0x00000020)", box.text);
    EXPECT_TRUE(PressMessageBoxButton(box, IDOK));
    CloseHandle(holder);
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
        SendMessageW(view, EM_POSFROMCHAR, (WPARAM)&corner, LineStart(line));
        POINT point = {corner.x + 30, corner.y + 3};
        return Menu(&point, key);
    }
    static std::wstring ProcessItems(const std::wstring& label)
    {
        return L"Show &only " + label + L" 1030|&Hide " + label + L" 1031|";
    }
};

// The snapshot's name of process 4242.
const WCHAR* snapshotName = nullptr;
BOOL WINAPI OneProcess(HANDLE, LPPROCESSENTRY32W entry)
{
    entry->th32ProcessID = 4242;
    wcscpy(entry->szExeFile, snapshotName);
    return TRUE;
}

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
    {
        ImportPatch patch("kernel32.dll", "Process32FirstW", (void*)OneProcess);
        ASSERT_TRUE(patch.active());
        const WCHAR* const kNames[][2] = {
            {L"svchost.exe", L"svchost"}, {L"SVCHOST.EXE", L"SVCHOST"}, {L".exe", L".exe"},
            {L"abcdefghijklmnopqrstuvwxyz_1234567890.exe", L"abcdefghijklmnopqrstuvwxyz_1234"},
            {L"R&D.exe", L"R&&D"},   // shown as R&D, no mnemonic
        };
        for (const auto& name : kNames) {
            snapshotName = name[0];
            EXPECT_EQ(ProcessItems(L"PID 4242 (" + std::wstring(name[1]) + L")") + kCommands, MenuAtLine(2));
        }
    }
    {
        ImportPatch patch("kernel32.dll", "CreateToolhelp32Snapshot", (void*)+[](DWORD, DWORD) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        });
        EXPECT_EQ(ProcessItems(L"PID " + std::to_wstring(GetCurrentProcessId())) + kCommands, MenuAtLine(0));
    }
    {
        ImportPatch patch("user32.dll", "CreatePopupMenu", (void*)+[] { return (HMENU) nullptr; });
        liveState.contextPid = 77;
        PostMessageW(view, WM_CONTEXTMENU, (WPARAM)view, (LPARAM)-1);
        RunOnUiThread(run, [] {});
        EXPECT_EQ(nullptr, FindTopWindow(L"#32768", nullptr));
        EXPECT_EQ(77u, liveState.contextPid) << "no menu, nothing changed";
    }
    // The menu key: the line 16 pixels inside the view's corner, not the caret's.
    CHARRANGE selection = {LineStart(2) + 3, LineStart(2) + 5};
    SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&selection);
    std::wstring keyboard = Menu(nullptr);
    EXPECT_EQ(0u, keyboard.find(ProcessItems(self))) << keyboard;
    EXPECT_NE(std::wstring::npos, keyboard.find(L"|&Copy\tCtrl+C 1020|")) << "with a selection";
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
    EXPECT_NE(std::wstring::npos, MenuAtLine(1).find(L"|Show all &processes 1032|")) << "hiding: not greyed";
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
    EXPECT_EQ(L"line", BodyOf(Lines()[1])) << "109 still shown";
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
        RunOnUiThread(run, [&] {
            SetFocus(view);
            GetKeyboardState(keys);
            keys[VK_CONTROL] = 0x80;
            SetKeyboardState(keys);
        });
        PressKey(window, key);
        EXPECT_TRUE(WaitUntil(done)) << "Ctrl+" << (char)key;
        RunOnUiThread(run, [&] { keys[VK_CONTROL] = 0; SetKeyboardState(keys); });
    };
    pressWithControl('A', [&] {
        CHARRANGE all = {};
        SendMessageW(view, EM_EXGETSEL, 0, (LPARAM)&all);
        return all.cpMin == 0 && all.cpMax >= (LONG)Lines()[0].size();
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

}  // namespace
