// The tracing window viewing log files written by the emulation: every event
// held, in order, under the live window's filters; files that cannot be read
// named; the bound.
#include "tests/live_window_fixture.h"

#include "app/main_dialog.h"
#include "live/log_view.h"
#include "test_support/import_patch.h"
#include "test_support/temp_dir.h"

namespace {

const LONGLONG kMarch1 = 133537248000000000; // 2024-03-01 00:00:00 UTC, 01:00 in Berlin

// A log file of `count` events "event <first + i>", one a millisecond from
// `start`; every thousandth an error, the others verbose; two processes.
void WriteLog(const std::wstring& path, DWORD first, DWORD count, LONGLONG start)
{
    std::vector<std::wstring> texts(count);
    std::vector<EtwEmuFileEvent> events(count);
    for (DWORD i = 0; i < count; ++i) {
        texts[i] = L"event " + std::to_wstring(first + i);
        events[i] = {providerTable[i % 6], (UCHAR)(i % 1000 == 999 ? 2 : 5), 100 + i % 2, 7, start + i * 10000ll,
                     texts[i].c_str(), (ULONG)(texts[i].size() + 1) * 2};
    }
    ASSERT_EQ(0u, EtwEmuWriteLogFile(path.c_str(), L"Quorvel", events.data(), count));
}

// The reader waits at the opening of a file named "gate.etl" until the test
// lets it go.
HANDLE gate;
ImportPatch* openPatch;
HANDLE WINAPI OpenAtTheGate(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,
                            DWORD flags, HANDLE model)
{
    if (wcsstr(name, L"gate.etl") != nullptr)
        WaitForSingleObject(gate, UI_WAIT_MS);
    return openPatch->original<decltype(&CreateFileW)>()(name, access, share, security, creation, flags, model);
}

class LogViewTest : public LiveWindowTest {
protected:
    void OpenLog(const std::vector<std::wstring>& paths, ULONG64 bound, const WCHAR* title)
    {
        names = paths;
        list.clear();
        for (const std::wstring& name : names)
            list.push_back(name.c_str());
        source = {list.data(), (DWORD)list.size(), FALSE, bound};
        run = StartModalDialog(IDD_LIVE, LogViewDlgProc, (LPARAM)&source);
        window = WaitForWindow(L"#32770", title);
        ASSERT_NE(nullptr, window);
        view = GetDlgItem(window, IDC_LIVE_VIEW);
        statusBar = FindWindowExW(window, nullptr, STATUSCLASSNAMEW, nullptr);
    }
    bool WaitUntilRead()
    {
        return WaitUntil([&] { return Status(2).compare(0, 9, L" Reading ") != 0; }, LIVE_BIG_WAIT_MS);
    }
    std::vector<std::wstring> names;
    std::vector<const WCHAR*> list;
    LogViewSource source = {};
};

// 300000 events: every one held; the view keeps the newest 50000 that pass
// the filters, and the errors of the whole log all pass the level "Error".
TEST_F(LogViewTest, EveryEventHeldAndFilteredAsLive)
{
    TempDir directory;
    std::wstring path = directory / L"gate.etl";
    WriteLog(path, 0, 300000, kMarch1);
    gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ImportPatch patch("kernel32.dll", "CreateFileW", (void*)OpenAtTheGate);
    openPatch = &patch;
    OpenLog({path}, 0, L"Log Viewer - gate.etl");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDC_LIVE_PAUSE)));
    EXPECT_EQ(L" Reading - 0 event(s)", Status(2));
    ChooseComboItem(window, IDC_LIVE_LEVEL, 1);
    ASSERT_TRUE(WaitUntil([] { return liveState.levelFilter == 2; }));
    SetEvent(gate);
    ASSERT_TRUE(WaitUntilRead());
    EXPECT_EQ(L" 2024-03-01 01:00:00 to 2024-03-01 01:04:59 - 300000 event(s)", Status(2));
    EXPECT_EQ(L" Captured: 300001", Status(0));
    EXPECT_EQ(L" Errors: 300", Status(1));
    ASSERT_TRUE(WaitUntil([&] { return LineCount() == 301; }));
    std::vector<std::wstring> lines = Lines();
    EXPECT_EQ(L"01:00:00.000  ***  ", lines[0].substr(0, 19)) << "stamped with the file's first event";
    EXPECT_EQ(L"Log file " + path + L": 300000 event(s) from 2024-03-01 01:00:00.000 to 2024-03-01 01:04:59.999.",
              BodyOf(lines[0]));
    EXPECT_EQ(L"01:00:00.999  ERR     101:7                                   event 999", lines[1]);
    EXPECT_EQ(L"01:04:59.999  ERR     101:7                                   event 299999", lines[300]);

    // Saved as the live window saves, the lines the filters let through.
    std::wstring saved = L"\xFEFF";
    for (const std::wstring& line : lines)
        saved += line + L"\r\n";
    ClickButton(window, IDC_LIVE_SAVE);
    ASSERT_TRUE(AnswerSaveDialog(window, (directory / L"errors.txt").c_str()));
    EXPECT_TRUE(WaitUntil([&] {
        return ReadFileBytes(directory / L"errors.txt") == std::string((const char*)saved.data(), saved.size() * 2);
    }));

    ChooseComboItem(window, IDC_LIVE_LEVEL, 4);
    ASSERT_TRUE(WaitUntil([&] { return LineCount() == 50000; }, LIVE_BIG_WAIT_MS));
    EXPECT_EQ(L"event 250000", BodyOf(LineText(0)));
    EXPECT_EQ(L"event 299999", LastBody());
    EnterCriticalSection(&liveState.storeLock);
    EXPECT_EQ(300001u, liveState.heldCount);
    EXPECT_STREQ(L"event 0", liveState.slots[1].text);
    LeaveCriticalSection(&liveState.storeLock);
    PressKey(window, VK_ESCAPE);
    EXPECT_TRUE(WaitForWindowGone(window));
    CloseHandle(gate);
}

const WCHAR* commandLine;
LPWSTR WINAPI GivenCommandLine()
{
    return (LPWSTR)commandLine;
}

// Files given on the command line, in the order of their first events; the
// ones that cannot be read first, each named with its error. A bound that
// cuts says after which event.
TEST_F(LogViewTest, CommandLineFilesInOrderTheUnreadableNamedTheBoundSaid)
{
    TempDir directory;
    WriteLog(directory / L"later.etl", 20000, 12000, kMarch1 + 36000000000ll);
    WriteLog(directory / L"earlier.etl", 0, 12000, kMarch1);
    WriteLog(directory / L"held.etl", 90000, 1, kMarch1);
    ASSERT_TRUE(WriteFileBytes(directory / L"text.etl", "not a log"));
    HANDLE held = CreateFileW((directory / L"held.etl").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    WCHAR current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    SetCurrentDirectoryW(directory.path().c_str());
    std::wstring line = L"QuorvelTrace.exe later.etl earlier.etl text.etl missing.etl \"" + directory / L"held.etl\"";
    commandLine = line.c_str();
    {
        ImportPatch patch("kernel32.dll", "GetCommandLineW", (void*)GivenCommandLine);
        run = StartUiThread([] { return (INT_PTR)RunQuorvelTrace(GetModuleHandleW(nullptr)); });
        window = WaitForWindow(L"#32770", L"Log Viewer - 5 files");
    }
    SetCurrentDirectoryW(current);
    ASSERT_NE(nullptr, window);
    view = GetDlgItem(window, IDC_LIVE_VIEW);
    statusBar = FindWindowExW(window, nullptr, STATUSCLASSNAMEW, nullptr);
    ASSERT_TRUE(WaitUntilRead());
    ASSERT_TRUE(WaitUntil([&] { return LineCount() == 24005; }));
    std::vector<std::wstring> lines = Lines();
    const std::wstring kUnreadable[][2] = {{L"text.etl", L"0x00000570 - File or directory corrupt."},
                                           {L"missing.etl", L"0x00000002 - File not found."},
                                           {L"held.etl", L"0x00000020 - Sharing violation."}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(L"Unable to read the log file " + directory / kUnreadable[i][0] + L" (" + kUnreadable[i][1] + L").",
                  BodyOf(lines[i]));
    }
    EXPECT_EQ(L"Log file " + directory / L"earlier.etl" +
                  L": 12000 event(s) from 2024-03-01 01:00:00.000 to 2024-03-01 01:00:11.999.",
              BodyOf(lines[3]));
    EXPECT_EQ(L"01:00:00.000  VRB     100:7                                   event 0", lines[4]);
    EXPECT_EQ(L"Log file " + directory / L"later.etl" +
                  L": 12000 event(s) from 2024-03-01 02:00:00.000 to 2024-03-01 02:00:11.999.",
              BodyOf(lines[12004]));
    EXPECT_EQ(L"02:00:11.999  ERR     101:7                                   event 31999", lines.back());
    EXPECT_EQ(L" 2024-03-01 01:00:00 to 2024-03-01 02:00:11 - 24000 event(s)", Status(2));
    Close();
    CloseHandle(held);

    // A megabyte holds the earlier file and part of the later one.
    OpenLog({directory / L"later.etl", directory / L"earlier.etl"}, 1 << 20, L"Log Viewer - 2 files");
    ASSERT_TRUE(WaitUntil([&] { return LastBody().compare(0, 16, L"The window holds") == 0; }));
    lines = Lines();
    ASSERT_GT(lines.size(), 12003u);
    size_t shown = lines.size() - 12003;   // the earlier file, the later one's status line, the note
    ASSERT_GT(shown, 0u);
    ASSERT_LT(shown, 12000u);
    for (size_t i = 0; i < shown; ++i)
        ASSERT_EQ(Numbered(20000 + (DWORD)i), BodyOf(lines[12002 + i]));
    SYSTEMTIME last = {2024, 3, 5, 1, 2, 0, (WORD)((shown - 1) / 1000), (WORD)((shown - 1) % 1000)};
    WCHAR stamp[32];
    swprintf(stamp, 32, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", last.wYear, last.wMonth, last.wDay, last.wHour,
             last.wMinute, last.wSecond, last.wMilliseconds);
    EXPECT_EQ(L"The window holds at most 1 MB of lines: the events after " + std::wstring(stamp) + L" are not shown.",
              BodyOf(lines.back()));
}

}  // namespace
