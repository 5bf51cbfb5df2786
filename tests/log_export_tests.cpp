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
const std::wstring kEquals = std::wstring(48, L'=') + L"\r\n";

UINT WINAPI FakeWindowsDirectory(LPWSTR out, UINT units)
{
    wcsncpy(out, fakeWindows.c_str(), units);
    return (UINT)fakeWindows.size();
}

std::string Bytes(const std::wstring& text)
{
    return std::string((const char*)text.data(), text.size() * sizeof(WCHAR));
}

// A UTF-16 payload with its terminator.
std::string Text(const std::wstring& text)
{
    return Bytes(text) + std::string(2, '\0');
}

// ".001" to ".008"; "" for 0, the current file.
std::wstring Suffix(int n)
{
    return n == 0 ? L"" : L".00" + std::to_wstring(n);
}

// FILETIME of a UTC time, in 100 ns units.
LONGLONG Stamp(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME time = {year, month, 0, day, hour, minute, second, 0};
    LARGE_INTEGER stamp;
    return SystemTimeToFileTime(&time, (FILETIME*)&stamp) ? stamp.QuadPart : 0;
}

void WriteLog(const std::wstring& path, const std::vector<std::string>& texts)
{
    std::vector<EtwEmuFileEvent> events;
    for (const std::string& text : texts)
        events.push_back({providerTable[2], 4, 4242, 77, Stamp(2024, 5, 6, 7, 8, 9), text.data(), (ULONG)text.size()});
    ASSERT_EQ(0u, EtwEmuWriteLogFile(path.c_str(), L"Quorvel", events.data(), events.size()));
}

class LogExportTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(windowsDirectory.active());
        fakeWindows = temp.path();
        for (const WCHAR* directory : {L"System32", L"System32\\LogFiles", L"System32\\LogFiles\\WMI"})
            CreateDirectoryW((temp / directory).c_str(), nullptr);
    }

    std::wstring LogPath(const std::wstring& suffix) { return temp / L"System32\\LogFiles\\WMI\\Quorvel.etl" + suffix; }
    std::wstring Banner(const std::wstring& suffix) { return kEquals + LogPath(suffix) + L"\r\n" + kEquals; }

    TempDir temp, output;
    ImportPatch windowsDirectory{"kernel32.dll", "GetSystemWindowsDirectoryW", (void*)FakeWindowsDirectory};
    PersistentTracingCleanup cleanup;
};

// Which log files exist, and how: a log with one event named after its
// suffix, an empty log, a file held by another writer, or not a log. All nine
// are tried, in order; OpenTrace tells why one is skipped.
TEST_F(LogExportTest, LogFilesInOrderUnreadableOnesSkipped)
{
    enum Kind { kLog, kEmptyLog, kLocked, kNotALog };
    const ULONG kOpenStatus[] = {0, 0, ERROR_SHARING_VIOLATION, ERROR_FILE_CORRUPT};
    const struct {
        const char* name;
        std::map<std::wstring, Kind> files;     // by suffix: in the order expected
    } cases[] = {
        {"all nine", {{L".008", kLog}, {L".003", kLog}, {L"", kLog}, {L".001", kLog}, {L".002", kLog},
                      {L".004", kLog}, {L".005", kLog}, {L".006", kLog}, {L".007", kLog}}},
        {"only .003", {{L".003", kLog}}},
        {"unreadable", {{L"", kNotALog}, {L".001", kLocked}, {L".002", kEmptyLog}}},
        {"none", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EtwEmuReset();
        std::vector<HANDLE> holders;
        std::wstring expected;
        for (const auto& file : c.files) {
            std::wstring path = LogPath(file.first);
            if (file.second == kNotALog)
                ASSERT_TRUE(WriteFileBytes(path, "QuorvelTrace ETW emulation log\r\n"));
            else
                WriteLog(path, file.second == kEmptyLog ? std::vector<std::string>{} : std::vector<std::string>{Text(file.first)});
            if (file.second == kLocked)
                holders.push_back(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            if (file.second == kLog || file.second == kEmptyLog)
                expected += Banner(file.first) + (file.second == kLog ? L"2024-05-06;07:08:09;" + file.first + L"\r\n" : L"");
        }
        std::wstring path = output / L"export.txt";
        EXPECT_TRUE(WriteLogExport(path.c_str()));
        EXPECT_EQ(Bytes(expected), ReadFileBytes(path));
        EXPECT_TRUE(PathExists(path));
        std::vector<ULONG> statuses, expectedStatuses;
        for (size_t i = 0; i < EtwEmuCallCount(); ++i) {
            EtwEmuCall call;
            if (EtwEmuGetCall(i, &call) && call.function == kEmuOpenTrace)
                statuses.push_back(call.status);
        }
        for (int n = 0; n <= 8; ++n) {
            auto file = c.files.find(Suffix(n));
            expectedStatuses.push_back(file == c.files.end() ? ERROR_FILE_NOT_FOUND : kOpenStatus[file->second]);
        }
        EXPECT_EQ(expectedStatuses, statuses);
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
    }
    void TearDown() override
    {
        CloseWithCloseBox(dialog);
        EXPECT_EQ(0, FinishUiThread(run));
    }

    UiDialogRun* run = nullptr;
    HWND dialog = nullptr;
};

// Older files .001 to .008, then Enable, events of every shape logged, a
// restart (each file moves up one, the one at .008 goes), one more event; the
// file session still writes while the export reads. A name typed without
// extension gets ".txt", and the file of that name is replaced unasked.
TEST_F(SaveTheLogTest, EnableLogRestartSaveReadBack)
{
    std::wstring older;
    for (int n = 1; n <= 8; ++n) {
        WriteLog(LogPath(Suffix(n)), {Text(L"older " + std::to_wstring(n))});
        older += n == 8 ? L"" : Banner(Suffix(n + 1)) + L"2024-05-06;07:08:09;older " + std::to_wstring(n) + L"\r\n";
    }
    ClickButton(dialog, IDC_ENABLE);
    ASSERT_TRUE(WaitUntil([&] { return EtwEmuSessionRunning(L"Quorvel"); }));
    LONGLONG lastOfDay = Stamp(2024, 2, 29, 23, 59, 59) + 9999999, next = Stamp(2024, 3, 1, 0, 0, 0);
    const struct { LONGLONG stamp; UCHAR level; std::string payload; } events[] = {
        {lastOfDay, 4, Text(L"Reader::Open(42) : card inserted")}, {next, 0, Text(L"level 0")},
        {next, 3, ""}, {next, 2, Text(L"")}, {next, 1, Bytes(L"a;b;c\r\n")}, {next, 3, std::string("A\0B\0C", 5)},
        {next, 5, Text(std::wstring(L"ab\0cd", 5))}, {-1, 4, Text(L"no date")}, {next, 4, Text(std::wstring(600000, L'x'))},
    };
    for (const auto& e : events)
        EXPECT_EQ(1u, EtwEmuLogEvent(&providerTable[0], e.level, 1, 2, e.stamp, e.payload.data(), (ULONG)e.payload.size()));
    ASSERT_EQ(0u, EtwEmuPlayRestart(L"Quorvel", LogPath(L"").c_str(), 8));
    std::string after = Text(L"Pin::Verify(7) : wrong PIN");
    EXPECT_EQ(1u, EtwEmuLogEvent(&providerTable[5], 2, 1, 2, next, after.data(), (ULONG)after.size()));

    std::wstring path = output / L"export.txt";
    ASSERT_TRUE(WriteFileBytes(path, std::string(300000, 'x')));
    ClickButton(dialog, IDC_SAVE_LOG);
    ASSERT_TRUE(AnswerSaveDialog(dialog, (output / L"export").c_str()));
    std::string expected = Bytes(Banner(L"") + L"2024-03-01;00:00:00;Pin::Verify(7) : wrong PIN\r\n" + Banner(L".001") +
                                 L"2024-02-29;23:59:59;Reader::Open(42) : card inserted\r\n"
                                 L"2024-03-01;00:00:00;\r\n"
                                 L"2024-03-01;00:00:00;a;b;c\r\n\r\n"
                                 L"2024-03-01;00:00:00;AB\r\n"
                                 L"2024-03-01;00:00:00;ab\r\n"
                                 L"0000-00-00;00:00:00;no date\r\n"
                                 L"2024-03-01;00:00:00;" + std::wstring(600000, L'x') + L"\r\n" + older);
    // No byte-order mark: the file starts with "=".
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(path) == expected; })) << ReadFileBytes(path).size();
    EXPECT_EQ(nullptr, FindTopWindow(L"#32770", nullptr, dialog));
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

// A full disk: the first 64 KB are written, the second write fails, nothing
// follows it. A file held open by someone else cannot be created. Either is
// shown in the error box, the file closed first.
TEST_F(SaveTheLogTest, FailuresAreReportedAfterClosing)
{
    std::vector<std::string> texts;
    std::wstring lines = Banner(L"");
    for (int i = 0; i < 3000; ++i) {
        texts.push_back(Text(L"Minidriver::ReadFile(412) : read 6 bytes, line " + std::to_wstring(i)));
        lines += L"2024-05-06;07:08:09;Minidriver::ReadFile(412) : read 6 bytes, line " + std::to_wstring(i) + L"\r\n";
    }
    WriteLog(LogPath(L""), texts);
    ImportPatch patch("kernel32.dll", "WriteFile", (void*)SecondWriteFails);
    realWriteFile = patch.original<decltype(&WriteFile)>();
    const struct { DWORD code; const WCHAR* name; bool locked; } cases[] = {
        {ERROR_DISK_FULL, L"full.txt", false}, {ERROR_SHARING_VIOLATION, L"locked.txt", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        std::wstring path = output / c.name;
        HANDLE holder = c.locked ? CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr) : nullptr;
        writeCalls = 0;
        ClickButton(dialog, IDC_SAVE_LOG);
        ASSERT_TRUE(AnswerSaveDialog(dialog, path.c_str()));
        MessageBoxSeen box;
        ASSERT_TRUE(WaitForMessageBox(&box, dialog));
        CloseHandle(holder);
        // The system's text follows the code; the caption is the failing call's place.
        EXPECT_EQ(0u, box.text.find(c.locked ? L"0x00000020 - " : L"0x00000070 - ")) << box.text.size();
        EXPECT_GT(box.text.size(), 20u);
        EXPECT_EQ(0u, box.caption.find(L"export/")) << std::string(box.caption.begin(), box.caption.end());
        EXPECT_EQ((UINT)MB_ICONINFORMATION, box.icon);
        HANDLE exclusive = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, exclusive) << "closed before the box";
        CloseHandle(exclusive);
        EXPECT_TRUE(PressMessageBoxButton(box, IDOK));
        EXPECT_EQ(c.locked ? 0 : 2, writeCalls);
        EXPECT_EQ(c.locked ? "" : Bytes(lines).substr(0, EXPORT_CHUNK_UNITS * 2), ReadFileBytes(path));
    }
}

}  // namespace
