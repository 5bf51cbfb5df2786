// The main dialog as a user sees it, "Save the log" with the export's exact bytes included.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <regex>

#include "app/advanced_panel.h"
#include "app/main_dialog.h"
#include "etw_emulation/etw_emulation.h"
#include "export/log_export.h"
#include "res/resource.h"
#include "test_support/heap_blocks.h"
#include "test_support/import_patch.h"
#include "test_support/registry.h"
#include "test_support/temp_dir.h"
#include "test_support/ui_driver.h"
#include "tracing/trace_session.h"

namespace {

const std::wstring kKey = L"SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger\\Quorvel";
const std::wstring kEnabled = L"Status : enabled. Traces are being written to disk.";
const std::wstring kDisabled = L"Status : disabled. Nothing is being written to disk.";
const LONGLONG kMarch1 = 133537248000000000; // 2024-03-01 00:00:00 UTC as a FILETIME

DWORD loadFlags;
BOOL workAreaReadable;
decltype(&WriteFile) realWriteFile;
int writeCalls;

HMODULE WINAPI RefusingLoadLibraryExW(LPCWSTR, HANDLE, DWORD flags)
{
    loadFlags = flags;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI SecondWriteShort(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (++writeCalls != 2)
        return realWriteFile(file, data, bytes, written, overlapped);
    *written = 0; // as on a full disk
    return TRUE;
}

std::string Bytes(const std::wstring& text, int terminators = 1)
{
    return std::string((const char*)text.c_str(), (text.size() + terminators) * sizeof(WCHAR));
}

// The log file for 0, ".001" to ".008" for 1 to 8; with `banner`, between two lines of 48 "=", as exported.
std::wstring LogPath(int n, bool banner = false)
{
    WCHAR windows[MAX_PATH];
    std::wstring path = std::wstring(windows, GetSystemWindowsDirectoryW(windows, MAX_PATH))
        + L"\\System32\\LogFiles\\WMI\\Quorvel.etl" + (n != 0 ? L".00" + std::to_wstring(n) : L"");
    const std::wstring equals = std::wstring(48, L'=') + L"\r\n";
    return banner ? equals + path + L"\r\n" + equals : path;
}

class MainDialogTest : public testing::Test {
protected:
    void SetUp() override
    {
        run = StartModalDialog(IDD_MAIN, MainDlgProc, 0);
        GUITHREADINFO ui = {}; // found on its thread: never a window another test left
        ui.cbSize = sizeof(ui);
        ASSERT_TRUE(WaitUntil([&] { return GetGUIThreadInfo(run->threadId, &ui) && IsWindowVisible(ui.hwndActive); }));
        dialog = ui.hwndActive;
    }
    void TearDown() override
    {
        CloseWithCloseBox(dialog);
        EXPECT_EQ(0, FinishUiThread(run));
    }
    // Messages are handled in order: once it has toggled, all posted before were handled.
    void ToggleAdvancedAndWait()
    {
        std::wstring before = ItemText(dialog, IDC_ADVANCED);
        ClickButton(dialog, IDC_ADVANCED);
        ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, IDC_ADVANCED) != before; }));
    }
    // The box the dialog shows, as "caption: text" with the source line left out; closed with OK.
    std::wstring Box(UINT icon)
    {
        MessageBoxSeen box;
        EXPECT_TRUE(WaitForMessageBox(&box, dialog) && PressMessageBoxButton(box, IDOK));
        EXPECT_EQ(icon, box.icon);
        return std::regex_replace(box.caption, std::wregex(L"\\([1-9][0-9]*\\)$"), L"(N)") + L": " + box.text;
    }

    PersistentTracingCleanup cleanup;
    UiDialogRun* run = nullptr;
    HWND dialog = nullptr;
};

// Enter presses Live Tracing: riched20.dll (the system's) refused, the box at each press; then the live window,
// modal, at each level a user can choose. Advanced unfolds, folds after a move by the user, recentred (at the top
// of a work area lower than the dialog; left where it is when the work area cannot be read); folded, the dialog
// ends as far under the button as the button is from the left edge.
TEST_F(MainDialogTest, OpensLiveTracingAndUnfoldsTheAdvancedPanel)
{
    EXPECT_EQ(GetDlgItem(dialog, IDC_LIVE_TRACING), FocusOf(dialog));
    LOGFONTW font = {}; // in bold
    HFONT liveFont = (HFONT)SendDlgItemMessageW(dialog, IDC_LIVE_TRACING, WM_GETFONT, 0, 0);
    EXPECT_TRUE(GetObjectW(liveFont, sizeof(font), &font) && font.lfWeight == FW_BOLD);
    EXPECT_EQ(L"Version 2.1.0.0  -  traces stay local until you save them", ItemText(dialog, IDC_NOTICE));
    EXPECT_EQ(L"Information", ItemText(dialog, IDC_LEVEL));
    {
        ImportPatch refuse("kernel32.dll", "LoadLibraryExW", (void*)RefusingLoadLibraryExW);
        for (int press = 0; press < 2; ++press) {
            PressKey(dialog, VK_RETURN);
            EXPECT_EQ(L"Live Tracing: Unable to load riched20.dll, the live tracing window cannot be displayed.",
                Box(MB_ICONERROR));
            EXPECT_EQ((DWORD)LOAD_LIBRARY_SEARCH_SYSTEM32, loadFlags);
        }
    }
    const WCHAR* kLevels[] = {L"Critical", L"Error", L"Warning", L"Information", L"Verbose"};
    for (int row : {3, 0, 1, 2, 4}) { // Information, the default, first
        if (row != 3)
            ChooseComboItem(dialog, IDC_LEVEL, row);
        PressKey(dialog, VK_RETURN);
        HWND live = WaitForWindow(L"#32770", L"Live Tracing", dialog);
        EXPECT_FALSE(IsWindowEnabled(dialog));
        EXPECT_EQ(kLevels[row], ItemText(live, IDC_LIVE_LEVEL));
        EtwEmuProvider enabled = {};
        EXPECT_TRUE(WaitUntil([&] { return EtwEmuEnabledProviders(L"QuorvelLive", &enabled, 1) == 6; }));
        EXPECT_EQ(row + 1u, enabled.level) << kLevels[row];
        CloseWithCloseBox(live);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(live) && IsWindowEnabled(dialog); }));
    }

    for (bool expanded : {false, true, false}) {
        SCOPED_TRACE(expanded ? "unfolded" : "folded");
        EXPECT_EQ(expanded ? L"Advanced <<" : L"Advanced >>", ItemText(dialog, IDC_ADVANCED));
        for (int id : {IDC_ENABLE, IDC_DISABLE, IDC_SAVE_LOG, IDC_VIEW_LOG, IDC_PERSISTENT_STATUS})
            EXPECT_EQ(expanded, IsWindowVisible(GetDlgItem(dialog, id)) != FALSE) << "control " << id;
        RECT work, window, size = {7, 156, 329, 274}; // the button's left and bottom, the template's size
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        GetWindowRect(dialog, &window);
        MapDialogRect(dialog, &size);
        EXPECT_EQ(expanded ? size.bottom : size.top + size.left, ClientSize(dialog).cy);
        EXPECT_EQ((work.left + work.right - (window.right - window.left)) / 2, window.left);
        EXPECT_EQ((work.top + work.bottom - (window.bottom - window.top)) / 2, window.top);
        SetWindowPos(dialog, nullptr, 3, 5, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        PressKey(dialog, VK_ESCAPE); // ignored
        ToggleAdvancedAndWait();
    }
    ImportPatch workArea("user32.dll", "SystemParametersInfoW", (void*)+[](UINT, UINT, RECT* area, UINT) {
        *area = {100, 50, 1100, 150};
        return workAreaReadable;
    });
    for (BOOL readable : {TRUE, FALSE}) {
        workAreaReadable = readable;
        SetWindowPos(dialog, nullptr, 3, 5, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        ToggleAdvancedAndWait();
        RECT window;
        GetWindowRect(dialog, &window);
        EXPECT_EQ(readable ? 100 + (1000 - (window.right - window.left)) / 2 : 3, window.left) << readable;
        EXPECT_EQ(readable ? 50 : 5, window.top) << readable;
    }
}

// Each press, failing or not, leaves status, buttons and focus (with no box, whose end may move the activation) as
// the registry says; Save the log stays usable. A failure's box: code, system text (its inserts as they are), the
// failing call's place.
TEST_F(MainDialogTest, EnableAndDisableShowTheRegistryStateAndTheirErrors)
{
    ToggleAdvancedAndWait();
    ChooseComboItem(dialog, IDC_LEVEL, 0); // "Critical" applies to live tracing only
    auto press = [&](int button, EtwEmuFunction failing, ULONG code, const WCHAR* box, bool enabled) {
        SCOPED_TRACE(testing::Message() << "button " << button << ", code " << code);
        EtwEmuReset();
        EtwEmuFailCall(failing, 1, code);
        ClickButton(dialog, button);
        if (box != nullptr) {
            EXPECT_EQ(L"app/main_dialog.cpp(N): " + std::wstring(box), Box(MB_ICONINFORMATION));
        }
        HWND focus = GetDlgItem(dialog, enabled ? IDC_DISABLE : IDC_ENABLE);
        ASSERT_TRUE(WaitUntil([&] {
            return ItemText(dialog, IDC_PERSISTENT_STATUS) == (enabled ? kEnabled : kDisabled)
                && (box != nullptr || FocusOf(dialog) == focus);
        }));
        EXPECT_TRUE(IsWindowEnabled(focus) && !IsWindowEnabled(GetDlgItem(dialog, enabled ? IDC_ENABLE : IDC_DISABLE)));
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, IDC_SAVE_LOG)));
        EXPECT_EQ(enabled ? 6u : 0u, MachineNames(kKey, false).size());
        for (const std::wstring& provider : MachineNames(kKey, false))
            EXPECT_EQ(5u, ReadMachineValue(kKey + L"\\" + provider, L"EnableLevel").AsDword());
    };
    press(IDC_ENABLE, kEmuFunctionCount, 0, nullptr, true); // verbose, whatever the Level combo says
    press(IDC_DISABLE, kEmuControlTrace, 0x2000FFFF, L"0x2000FFFF - no description available", true);
    press(IDC_DISABLE, kEmuFunctionCount, 0, nullptr, false);
    press(IDC_ENABLE, kEmuStartTrace, ERROR_ACCESS_DENIED, L"0x00000005 - Access denied.\r\n", true); // registered
    press(IDC_DISABLE, kEmuFunctionCount, 0, nullptr, false);
    press(IDC_ENABLE, kEmuStartTrace, ERROR_BAD_EXE_FORMAT, L"0x000000C1 - Bad EXE format for %1.\r\n", true);
}

// No log file: an empty export. Events of every shape, older files, a restart; the session writes on; each of the
// nine files tried as a log file with dates. A name without extension gets ".txt", that file is replaced unasked. A
// full disk, a file in use: the box; what was written stays. Exports and status refreshes give back what they open.
TEST_F(MainDialogTest, EnableLogSaveReadBack)
{
    ToggleAdvancedAndWait();
    TempDir output;
    ClickButton(dialog, IDC_SAVE_LOG);
    ASSERT_TRUE(AnswerSaveDialog(dialog, (output / L"empty.txt").c_str()));
    ASSERT_TRUE(WaitUntil([&] { return PathExists(output / L"empty.txt"); }));
    RunOnUiThread(run, [] {}); // once the export is done
    EXPECT_EQ("", ReadFileBytes(output / L"empty.txt"));
    ClickButton(dialog, IDC_VIEW_LOG);
    HWND viewer = WaitForWindow(L"#32770", L"Log Viewer - 9 files", dialog);
    std::wstring folder = LogPath(0).substr(0, LogPath(0).rfind(L'\\'));
    EXPECT_TRUE(WaitUntil([&] { return RichEditLines(GetDlgItem(viewer, IDC_LIVE_VIEW)).size() == 1; }));
    EXPECT_EQ(L"No log file in " + folder + L".", RichEditLines(GetDlgItem(viewer, IDC_LIVE_VIEW))[0].substr(62));
    CloseWithCloseBox(viewer);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(viewer) && IsWindowEnabled(dialog); }));
    ClickButton(dialog, IDC_ENABLE); // the status follows once the providers are enabled
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, IDC_PERSISTENT_STATUS) == kEnabled; }));
    const std::tuple<LONGLONG, UCHAR, std::string> kEvents[]
        = {{kMarch1 - 1, 4, Bytes(L"Reader::Open(42) : card inserted")}, {kMarch1, 0, Bytes(L"level 0")},
            {kMarch1, 3, ""}, {kMarch1, 2, Bytes(L"")}, {kMarch1, 1, Bytes(L"a;b;c\r\n", 0)},
            {kMarch1, 3, std::string("A\0B\0C", 5)}, {kMarch1, 5, Bytes(std::wstring(L"ab\0cd", 5))},
            {-1, 4, Bytes(L"no date")}, {kMarch1, 4, Bytes(std::wstring(600000, L'x'))}};
    for (const auto& [stamp, level, payload] : kEvents)
        EXPECT_EQ(1u, EtwEmuLogEvent(&providerTable[0], level, 1, 2, stamp, payload.data(), (ULONG)payload.size()));
    std::wstring older;
    for (int n : {1, 2, 4, 5, 6, 7, 8}) { // after the restart each one number up, .008 gone
        std::wstring text = n == 5 ? L"" : L"older " + std::to_wstring(n);
        std::string payload = Bytes(text);
        EtwEmuFileEvent event = {providerTable[2], 4, 4242, 77, kMarch1, payload.data(), (ULONG)payload.size()};
        ASSERT_EQ(0u, EtwEmuWriteLogFile(LogPath(n).c_str(), L"Quorvel", &event, text.empty() ? 0 : 1));
        if (n == 6) { // damaged after its event: ProcessTrace fails there, the event stays, the next file follows
            ASSERT_TRUE(WriteFileBytes(LogPath(n), ReadFileBytes(LogPath(n)) + std::string(48, 'j')));
        }
        if (n != 4 && n != 8)
            older += LogPath(n + 1, true) + (text.empty() ? L"" : L"2024-03-01;00:00:00;" + text + L"\r\n");
    }
    ASSERT_TRUE(WriteFileBytes(LogPath(3), "not a log"));
    EtwEmuAddSessionLosses(L"Quorvel", 12, 0, 3); // into the file's header when the session stops
    ASSERT_EQ(0u, EtwEmuPlayRestart(L"Quorvel", LogPath(0).c_str(), 8));
    std::string after = Bytes(L"Pin::Verify(7) : wrong PIN");
    EXPECT_EQ(1u, EtwEmuLogEvent(&providerTable[5], 2, 1, 2, kMarch1, after.data(), (ULONG)after.size()));
    // Not a log (.004 now), and a log held by another writer (.005 now): both skipped, without a banner.
    HANDLE held = CreateFileW(LogPath(5).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);

    const std::wstring path = output / L"export.txt";
    ASSERT_TRUE(WriteFileBytes(path, std::string(300000, 'x')));
    size_t calls = EtwEmuCallCount();
    ClickButton(dialog, IDC_SAVE_LOG);
    ASSERT_TRUE(AnswerSaveDialog(dialog, (output / L"export").c_str()));
    std::string expected = Bytes(LogPath(0, true) + L"2024-03-01;00:00:00;Pin::Verify(7) : wrong PIN\r\n"
            + LogPath(1, true) + L"2024-02-29;23:59:59;Reader::Open(42) : card inserted\r\n2024-03-01;00:00:00;\r\n"
              L"2024-03-01;00:00:00;a;b;c\r\n\r\n2024-03-01;00:00:00;AB\r\n2024-03-01;00:00:00;ab\r\n"
              L"0000-00-00;00:00:00;no date\r\n2024-03-01;00:00:00;"
            + std::wstring(600000, L'x') + L"\r\n" + older,
        0);
    // Read once replaced (an open reader makes the export's exclusive create fail); no byte-order mark.
    WIN32_FILE_ATTRIBUTE_DATA file;
    ASSERT_TRUE(WaitUntil([&] {
        return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &file) && file.nFileSizeLow != 300000;
    }));
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(path) == expected; })) << ReadFileBytes(path).size();

    std::wstring opened; // the file session's files, not real time, time stamps as dates (mode 0); each closed
    int closed = 0;
    for (EtwEmuCall call; EtwEmuGetCall(calls++, &call);) {
        if (call.function == kEmuOpenTrace)
            opened += call.sessionName + (L" " + std::to_wstring(call.logFileMode) + L" ")
                + std::to_wstring(call.status) + L"; ";
        closed += call.function == kEmuCloseTrace && call.status == 0;
    }
    EXPECT_EQ(L"Quorvel 0 0; Quorvel 0 0; Quorvel 0 0; Quorvel 0 0; Quorvel 0 1392; Quorvel 0 32; Quorvel 0 0; "
              L"Quorvel 0 0; Quorvel 0 0; ", opened);
    EXPECT_EQ(7, closed);

    // Alt+V: the same files in the log view, oldest first, with their levels, processes and threads.
    EXPECT_EQ(L"&View the log", ItemText(dialog, IDC_VIEW_LOG));
    PostMessageW(GetDlgItem(dialog, IDC_SAVE_LOG), WM_SYSCHAR, L'v', 0x20000000);
    viewer = WaitForWindow(L"#32770", L"Log Viewer - 9 files", dialog);
    ASSERT_NE(nullptr, viewer);
    auto logFile = [&](int n, const std::wstring& range) {
        return L"Log file " + LogPath(n) + (range.empty() ? L": no event." : L": " + range + L".");
    };
    const std::wstring kOne = L"1 event(s) from 2024-03-01 01:00:00.000 to 2024-03-01 01:00:00.000";
    const std::wstring kSpaces(34, L' ');
    std::vector<std::wstring> shown = {logFile(8, kOne), L"01:00:00.000  INF    4242:77" + kSpaces + L"older 7",
        logFile(7, kOne), L"older 6",
        L"Reading stopped part way through the log file " + LogPath(7) + L" (0x00000570 - File or directory corrupt.).",
        logFile(6, L""), L"Unable to read the log file " + LogPath(5) + L" (0x00000020 - Sharing violation.).",
        L"Unable to read the log file " + LogPath(4) + L" (0x00000570 - File or directory corrupt.).", logFile(3, kOne),
        L"older 2", logFile(2, kOne), L"older 1",
        logFile(1, L"7 event(s) from 2024-03-01 00:59:59.999 to 2024-03-01 01:00:00.000. ETW lost 12 event(s) and 3 "
                   L"buffer(s) while writing it"),
        L"00:59:59.999  INF       1:2       Reader::Open(42)            card inserted",
        L"01:00:00.000  ***       1:2" + std::wstring(35, L' ') + L"level 0", L"a;b;c", L"AB", L"ab",
        L"00:00:00.000  INF       1:2" + std::wstring(35, L' ') + L"no date", std::wstring(600000, L'x'), logFile(0, kOne),
        L"01:00:00.000  ERR       1:2       Pin::Verify(7)              wrong PIN"};
    HWND text = GetDlgItem(viewer, IDC_LIVE_VIEW);
    std::vector<std::wstring> lines;
    EXPECT_TRUE(WaitUntil([&] { return (lines = RichEditLines(text)).size() == shown.size(); }));
    for (size_t i = 0; i < lines.size() && i < shown.size(); ++i) // bodies, or whole lines where columns matter
        EXPECT_EQ(shown[i], shown[i][2] == L':' ? lines[i] : lines[i].substr(std::min<size_t>(62, lines[i].size())))
            << i;
    HWND bar = FindWindowExW(viewer, nullptr, STATUSCLASSNAMEW, nullptr);
    WCHAR range[128] = L"";
    SendMessageW(bar, SB_GETTEXTW, 2, (LPARAM)range);
    EXPECT_STREQ(L" 2024-03-01 00:59:59 to 2024-03-01 01:00:00 - 12 event(s)", range);
    CloseWithCloseBox(viewer);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(viewer) && IsWindowEnabled(dialog); }));
    // Two files dropped from Explorer, first events alike: in the order dropped.
    std::wstring names = LogPath(2) + L'\0' + LogPath(8) + L'\0' + L'\0';
    HGLOBAL drop = GlobalAlloc(GHND, sizeof(DROPFILES) + names.size() * sizeof(WCHAR));
    auto* files = (DROPFILES*)GlobalLock(drop);
    files->pFiles = sizeof(DROPFILES);
    files->fWide = TRUE;
    memcpy(files + 1, names.data(), names.size() * sizeof(WCHAR));
    GlobalUnlock(drop);
    PostMessageW(dialog, WM_DROPFILES, (WPARAM)drop, 0);
    viewer = WaitForWindow(L"#32770", L"Log Viewer - 2 files", dialog);
    text = GetDlgItem(viewer, IDC_LIVE_VIEW);
    shown = {logFile(2, kOne), L"older 1", logFile(8, kOne), L"older 7"};
    EXPECT_TRUE(WaitUntil([&] { return (lines = RichEditLines(text)).size() == 4; }));
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(shown[i], lines[i].substr(std::min<size_t>(62, lines[i].size()))) << i;
    CloseWithCloseBox(viewer);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(viewer) && IsWindowEnabled(dialog); }));
    CloseHandle(held);

    ImportPatch writeFile("kernel32.dll", "WriteFile", (void*)SecondWriteShort);
    realWriteFile = writeFile.original<decltype(&WriteFile)>();
    ClickButton(dialog, IDC_SAVE_LOG);
    ASSERT_TRUE(AnswerSaveDialog(dialog, (output / L"full.txt").c_str()));
    EXPECT_EQ(L"export/export_lines.cpp(N): 0x00000070 - Disk full.\r\n", Box(MB_ICONINFORMATION));
    EXPECT_EQ(expected.substr(0, 65536), ReadFileBytes(output / L"full.txt")); // the first 64 KB write
    HANDLE inUse = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ClickButton(dialog, IDC_SAVE_LOG);
    ASSERT_TRUE(AnswerSaveDialog(dialog, path.c_str()));
    EXPECT_EQ(L"export/log_export.cpp(N): 0x00000020 - Sharing violation.\r\n", Box(MB_ICONINFORMATION));
    CloseHandle(inUse);
    DWORD first = 0, last = 0;
    RunOnUiThread(run, [&] {
        for (int i = 0; i < 21; ++i) {
            WriteLogExport((output / L"again.txt").c_str());
            UpdatePersistentStatus(dialog);
            first = i == 0 ? ProcessHandleCount() : first;
        }
        last = ProcessHandleCount();
    });
    EXPECT_NE(0u, first);
    EXPECT_EQ(first, last);
}

} // namespace
