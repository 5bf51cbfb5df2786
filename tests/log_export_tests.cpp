// "Save the log": the export's exact bytes for the log files found, and the
// main dialog's button as a user presses it, failures included. The log
// directory lies in a temporary Windows directory.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/main_dialog.h"
#include "etw_emulation/etw_emulation.h"
#include "export/log_export.h"
#include "res/resource.h"
#include "test_support/import_patch.h"
#include "test_support/registry.h"
#include "test_support/temp_dir.h"
#include "test_support/ui_driver.h"
#include "tracing/trace_session.h"

namespace {

std::wstring fakeWindows;

UINT WINAPI FakeWindowsDirectory(LPWSTR out, UINT units)
{
    wcsncpy(out, fakeWindows.c_str(), units);
    return (UINT)fakeWindows.size();
}

const std::wstring kEquals = L"================================================\r\n";

std::string Bytes(const std::wstring& text)
{
    return std::string((const char*)text.data(), text.size() * sizeof(WCHAR));
}

// A UTF-16 payload, with its terminator unless `bare`.
std::string Payload(const std::wstring& text, bool bare = false)
{
    return Bytes(text) + (bare ? "" : std::string(2, '\0'));
}

// FILETIME of a UTC time, plus `extraTicks` of 100 ns.
LONGLONG Stamp(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
               WORD millisecond = 0, LONGLONG extraTicks = 0)
{
    SYSTEMTIME time = {year, month, 0, day, hour, minute, second, millisecond};
    FILETIME file;
    SystemTimeToFileTime(&time, &file);
    return (LONGLONG)(((ULONG64)file.dwHighDateTime << 32) | file.dwLowDateTime) + extraTicks;
}

struct Event {
    LONGLONG stamp;
    UCHAR level;
    std::string payload;
};

void WriteLog(const std::wstring& path, const std::vector<Event>& events)
{
    std::vector<EtwEmuFileEvent> records;
    for (const Event& e : events)
        records.push_back({providerTable[2], e.level, 4242, 77, e.stamp, e.payload.data(), (ULONG)e.payload.size()});
    ASSERT_EQ(0u, EtwEmuWriteLogFile(path.c_str(), L"Quorvel", records.data(), records.size()));
}

class LogExportTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(windowsDirectory.active());
        fakeWindows = temp.path();
        CreateDirectoryW((temp / L"System32").c_str(), nullptr);
        CreateDirectoryW((temp / L"System32\\LogFiles").c_str(), nullptr);
        CreateDirectoryW(LogPath(L"").substr(0, LogPath(L"").rfind(L'\\')).c_str(), nullptr);
    }

    std::wstring LogPath(const std::wstring& suffix) { return temp / L"System32\\LogFiles\\WMI\\Quorvel.etl" + suffix; }
    std::wstring Banner(const std::wstring& suffix) { return kEquals + LogPath(suffix) + L"\r\n" + kEquals; }

    TempDir temp;
    TempDir output;
    ImportPatch windowsDirectory{"kernel32.dll", "GetSystemWindowsDirectoryW", (void*)FakeWindowsDirectory};
    PersistentTracingCleanup cleanup;
};

TEST_F(LogExportTest, EventLinesExactly)
{
    LONGLONG lastOfDay = Stamp(2024, 2, 29, 23, 59, 59, 999, 9999);
    LONGLONG next = Stamp(2024, 3, 1, 0, 0, 0);
    WriteLog(LogPath(L""), {
        {lastOfDay, 4, Payload(L"Reader::Open(42) : card inserted")},
        {next, 0, Payload(L"level 0")},
        {next, 3, ""},
        {next, 2, Payload(L"")},
        {next, 1, Payload(L"a;b;c\r\n", true)},
        {next, 6, std::string("A\0B\0C", 5)},
        {next, 5, Payload(std::wstring(L"ab\0cd", 5))},
        {-1, 4, Payload(L"no date")},
    });
    std::wstring path = output / L"export.txt";
    ASSERT_TRUE(WriteFileBytes(path, std::string(300000, 'x')));  // replaced
    ASSERT_TRUE(WriteLogExport(path.c_str()));
    std::string bytes = ReadFileBytes(path);
    EXPECT_EQ(std::string("=\0", 2), bytes.substr(0, 2));  // no byte-order mark
    EXPECT_EQ(Bytes(Banner(L"") +
                    L"2024-02-29;23:59:59;Reader::Open(42) : card inserted\r\n"
                    L"2024-03-01;00:00:00;\r\n"
                    L"2024-03-01;00:00:00;a;b;c\r\n\r\n"
                    L"2024-03-01;00:00:00;AB\r\n"
                    L"2024-03-01;00:00:00;ab\r\n"
                    L"0000-00-00;00:00:00;no date\r\n"),
              bytes);
    EXPECT_EQ(INVALID_HANDLE_VALUE, logExport.output);
}

// Which log files exist, and how: a log holding one event named after its
// suffix, an empty log, a file held by another writer, or not a log at all.
TEST_F(LogExportTest, LogFilesInOrderUnreadableOnesSkipped)
{
    enum Kind { kLog, kEmptyLog, kLocked, kNotALog };
    struct Case {
        const char* name;
        std::map<std::wstring, Kind> files;     // by suffix: in the order expected
    } cases[] = {
        {"all nine", {{L".008", kLog}, {L".003", kLog}, {L"", kLog}, {L".001", kLog}, {L".002", kLog},
                      {L".004", kLog}, {L".005", kLog}, {L".006", kLog}, {L".007", kLog}}},
        {"only .003", {{L".003", kLog}}},
        {"unreadable", {{L"", kNotALog}, {L".001", kLocked}, {L".002", kEmptyLog}}},
        {"none", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<HANDLE> holders;
        std::wstring expected;
        for (const auto& file : c.files) {
            std::wstring path = LogPath(file.first);
            if (file.second == kNotALog)
                ASSERT_TRUE(WriteFileBytes(path, "QuorvelTrace ETW emulation log\r\n"));
            else
                WriteLog(path, file.second == kEmptyLog ? std::vector<Event>{}
                                                        : std::vector<Event>{{Stamp(2024, 5, 6, 7, 8, 9), 4, Payload(file.first)}});
            if (file.second == kLocked)
                holders.push_back(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            if (file.second == kLog)
                expected += Banner(file.first) + L"2024-05-06;07:08:09;" + file.first + L"\r\n";
            if (file.second == kEmptyLog)
                expected += Banner(file.first);
        }
        std::wstring path = output / L"export.txt";
        bool exists = false;
        EXPECT_TRUE(WriteLogExport(path.c_str()));
        EXPECT_EQ(Bytes(expected), ReadFileBytes(path, &exists));
        EXPECT_TRUE(exists);
        for (HANDLE holder : holders)
            CloseHandle(holder);
        for (const auto& file : c.files)
            DeleteFileW(LogPath(file.first).c_str());
    }
}

class SaveTheLogTest : public LogExportTest {
protected:
    void SetUp() override
    {
        LogExportTest::SetUp();
        run = StartModalDialog(IDD_MAIN, MainDlgProc, 0);
        dialog = WaitForWindow(L"#32770", L"Quorvel Tracing");
        ASSERT_NE(nullptr, dialog);
        ClickButton(dialog, IDC_ADVANCED);
        ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, IDC_ADVANCED) == L"Advanced <<"; }));
    }
    void TearDown() override
    {
        CloseWithCloseBox(dialog);
        EXPECT_EQ(0, FinishUiThread(run));
    }

    // Presses "Save the log" and enters `name` in the Save dialog.
    void Save(const std::wstring& name)
    {
        ClickButton(dialog, IDC_SAVE_LOG);
        ASSERT_TRUE(AnswerSaveDialog(dialog, name.c_str()));
    }

    // The error box for `code`, shown once the file is closed; caption: the
    // failing call's place in the export's source.
    void ExpectErrorBox(DWORD code, const std::wstring& path, HANDLE holder = nullptr)
    {
        MessageBoxSeen box;
        ASSERT_TRUE(WaitForMessageBox(&box, dialog));
        if (holder != nullptr)
            CloseHandle(holder);
        WCHAR* system = nullptr;
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code, 0,
                       (WCHAR*)&system, 0, nullptr);
        WCHAR start[16];
        _snwprintf(start, 16, L"0x%08X - ", code);
        EXPECT_EQ(std::wstring(start) + (system ? system : L"?"), box.text);
        LocalFree(system);
        EXPECT_EQ(0u, box.caption.find(L"export/")) << std::string(box.caption.begin(), box.caption.end());
        EXPECT_GT(_wtoi(box.caption.c_str() + box.caption.find(L".cpp(") + 5), 0);
        EXPECT_EQ((UINT)MB_ICONINFORMATION, box.icon);
        HANDLE exclusive = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, exclusive) << "closed before the box";
        CloseHandle(exclusive);
        EXPECT_TRUE(PressMessageBoxButton(box, IDOK));
    }

    UiDialogRun* run = nullptr;
    HWND dialog = nullptr;
};

// Enable, events logged, a restart, more events; the file session still
// writes while the export reads. A name typed without extension gets ".txt"
// and the file of that name is replaced without a question.
TEST_F(SaveTheLogTest, EnableLogRestartSaveReadBack)
{
    ClickButton(dialog, IDC_ENABLE);
    ASSERT_TRUE(WaitUntil([&] { return EtwEmuSessionRunning(L"Quorvel"); }));
    LONGLONG stamp = Stamp(2024, 12, 31, 23, 30, 0);
    std::string before = Payload(L"Reader::Open(42) : card inserted"), after = Payload(L"Pin::Verify(7) : wrong PIN");
    EXPECT_EQ(1u, EtwEmuLogEvent(&providerTable[0], 4, 4242, 77, stamp, before.data(), (ULONG)before.size()));
    ASSERT_EQ(0u, EtwEmuPlayRestart(L"Quorvel", LogPath(L"").c_str(), 8));
    EXPECT_EQ(1u, EtwEmuLogEvent(&providerTable[5], 2, 4242, 77, stamp + 1, after.data(), (ULONG)after.size()));

    std::wstring path = output / L"export.txt";
    ASSERT_TRUE(WriteFileBytes(path, "old content"));
    Save(output / L"export");
    std::string expected = Bytes(Banner(L"") + L"2024-12-31;23:30:00;Pin::Verify(7) : wrong PIN\r\n" +
                                 Banner(L".001") + L"2024-12-31;23:30:00;Reader::Open(42) : card inserted\r\n");
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(path) == expected; })) << ReadFileBytes(path).size();
    EXPECT_EQ(nullptr, FindTopWindow(L"#32770", nullptr, dialog));
    EXPECT_FALSE(PathExists(output / L"export"));
}

TEST_F(SaveTheLogTest, FileThatCannotBeCreatedIsReported)
{
    std::wstring path = output / L"locked.txt";
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    Save(path);
    ExpectErrorBox(ERROR_SHARING_VIOLATION, path, holder);
}

decltype(&WriteFile) realWriteFile;
int writeCalls;

BOOL WINAPI SecondWriteFails(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (++writeCalls != 2)
        return realWriteFile(file, data, bytes, written, overlapped);
    *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// Several chunks' worth of lines: the first chunk is written, the second
// fails, and nothing is written after it.
TEST_F(SaveTheLogTest, FailedWriteStopsClosesAndIsReported)
{
    std::vector<Event> events;
    std::wstring expected = Banner(L"");
    for (int i = 0; i < 3000; ++i) {
        std::wstring text = L"Minidriver::ReadFile(412) : read file cardcf, 6 bytes, line " + std::to_wstring(i);
        events.push_back({Stamp(2024, 1, 2, 3, 4, 5), 4, Payload(text)});
        expected += L"2024-01-02;03:04:05;" + text + L"\r\n";
    }
    WriteLog(LogPath(L""), events);
    std::wstring path = output / L"full.txt";
    ImportPatch patch("kernel32.dll", "WriteFile", (void*)SecondWriteFails);
    realWriteFile = patch.original<decltype(&WriteFile)>();
    writeCalls = 0;
    Save(path);
    ExpectErrorBox(ERROR_DISK_FULL, path);
    EXPECT_EQ(2, writeCalls);
    EXPECT_EQ(Bytes(expected).substr(0, EXPORT_CHUNK_UNITS * 2), ReadFileBytes(path));
}

}  // namespace
