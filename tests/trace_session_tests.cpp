// Session control: log paths, the properties blocks of start and stop, the
// providers enabled and what a failure leaves behind.
#include <gtest/gtest.h>

#include <windows.h>
#include <evntrace.h>

#include <string>
#include <vector>

#include "etw_emulation/etw_emulation.h"
#include "test_support/import_patch.h"
#include "test_support/temp_dir.h"
#include "tracing/trace_session.h"

namespace {

// What the patched GetSystemWindowsDirectoryW answers.
std::wstring fakeWindows;
bool fakeWindowsFails = false;

UINT WINAPI FakeGetSystemWindowsDirectoryW(LPWSTR buffer, UINT units)
{
    if (fakeWindowsFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (fakeWindows.size() + 1 > units)
        return (UINT)fakeWindows.size() + 1;
    wcscpy(buffer, fakeWindows.c_str());
    return (UINT)fakeWindows.size();
}

std::vector<std::wstring> debugOutput;

void WINAPI CaptureOutputDebugStringW(LPCWSTR text)
{
    debugOutput.push_back(text);
}

std::vector<EtwEmuCall> CallsOf(EtwEmuFunction function)
{
    std::vector<EtwEmuCall> calls;
    EtwEmuCall call;
    for (size_t i = 0; i < EtwEmuCallCount(); ++i) {
        if (EtwEmuGetCall(i, &call) && call.function == function)
            calls.push_back(call);
    }
    return calls;
}

// The recorded block has no alignment of its own: copy before reading.
EVENT_TRACE_PROPERTIES PropertiesOf(const EtwEmuCall& call)
{
    EVENT_TRACE_PROPERTIES properties;
    memcpy(&properties, call.properties, sizeof(properties));
    return properties;
}

std::wstring TextAt(const EtwEmuCall& call, ULONG offset)
{
    std::wstring text;
    for (ULONG at = offset; at + 1 < SESSION_BLOCK_BYTES; at += 2) {
        WCHAR unit = (WCHAR)(call.properties[at] | (call.properties[at + 1] << 8));
        if (unit == L'\0')
            break;
        text += unit;
    }
    return text;
}

// Every byte of the block outside the named fields and the log file name is zero.
void ExpectRestZero(const EtwEmuCall& call, size_t logFileUnits)
{
    std::vector<BYTE> rest(call.properties, call.properties + SESSION_BLOCK_BYTES);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(rest.data());
    properties->Wnode.BufferSize = 0;
    properties->Wnode.Guid = GUID{};
    properties->Wnode.ClientContext = 0;
    properties->Wnode.Flags = 0;
    properties->FlushTimer = 0;
    properties->LoggerNameOffset = 0;
    properties->LogFileNameOffset = 0;
    properties->LogFileMode = 0;
    properties->MaximumFileSize = 0;
    memset(rest.data() + SESSION_LOG_FILE_OFFSET, 0, logFileUnits * sizeof(WCHAR));
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != 0) {
            ADD_FAILURE() << "byte " << i << " of the block is " << (int)rest[i];
            return;
        }
    }
}

class TraceSessionTest : public testing::Test {
protected:
    void SetUp() override
    {
        EtwEmuReset();
        fakeWindowsFails = false;
        fakeWindows = temp.path();
        CreateDirectoryW((temp / L"System32").c_str(), nullptr);
        CreateDirectoryW((temp / L"System32\\LogFiles").c_str(), nullptr);
        debugOutput.clear();
    }
    void TearDown() override { EtwEmuReset(); }

    std::wstring LogDirectory() const { return temp / L"System32\\LogFiles\\WMI"; }

    TempDir temp;
    ImportPatch windowsDirectory{"kernel32.dll", "GetSystemWindowsDirectoryW",
                                 (void*)FakeGetSystemWindowsDirectoryW};
    ImportPatch debugString{"kernel32.dll", "OutputDebugStringW", (void*)CaptureOutputDebugStringW};
};

TEST_F(TraceSessionTest, LogPathsFromTheWindowsDirectory)
{
    ASSERT_TRUE(windowsDirectory.active());
    struct Case {
        const WCHAR* windows;
        const WCHAR* suffix;
        bool ok;
        const WCHAR* expected;
    } cases[] = {
        {L"C:\\Windows", nullptr, true, L"C:\\Windows\\System32\\LogFiles\\WMI\\Quorvel.etl"},
        {L"X:\\", nullptr, true, L"X:\\System32\\LogFiles\\WMI\\Quorvel.etl"},
        {L"C:\\Windows", L".008", true, L"C:\\Windows\\System32\\LogFiles\\WMI\\Quorvel.etl.008"},
        // 259 units of directory: the directory fits, the paths do not.
        {nullptr, nullptr, false, nullptr},
    };
    for (const Case& c : cases) {
        fakeWindows = c.windows != nullptr ? c.windows : L"C:\\" + std::wstring(256, L'w');
        SCOPED_TRACE(testing::Message() << "windows " << std::string(fakeWindows.begin(), fakeWindows.begin() + 12));
        WCHAR path[MAX_PATH + 1];
        path[MAX_PATH] = 0x5A5A;  // guard unit past the buffer
        EXPECT_EQ(c.ok, !!GetLogFilePath(path, c.suffix));
        if (c.ok) {
            EXPECT_STREQ(c.expected, path);
        }
        EXPECT_EQ(0x5A5A, path[MAX_PATH]);
    }

    fakeWindows = L"C:\\Windows\\";
    WCHAR directory[MAX_PATH];
    ASSERT_TRUE(GetLogDirectory(directory));
    EXPECT_STREQ(L"C:\\Windows\\System32\\LogFiles\\WMI", directory);

    // Longest path that still fits: 259 units with the file name.
    std::wstring fits = L"C:\\" + std::wstring(259 - 3 - 34, L'a');
    fakeWindows = fits;
    WCHAR path[MAX_PATH];
    ASSERT_TRUE(GetLogFilePath(path, nullptr));
    EXPECT_EQ(259u, wcslen(path));
    fakeWindows = fits + L"b";
    EXPECT_FALSE(GetLogFilePath(path, nullptr));

    fakeWindows = std::wstring(260, L'x');  // does not fit the 260-unit buffer
    EXPECT_FALSE(GetLogDirectory(directory));
    fakeWindowsFails = true;
    EXPECT_FALSE(GetLogDirectory(directory));
}

TEST_F(TraceSessionTest, FileSessionStartBlockAndLogDirectory)
{
    EXPECT_FALSE(PathExists(LogDirectory()));
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(StartTraceSession(TRUE, 5));
    EXPECT_EQ(0u, GetLastError());
    EXPECT_TRUE(IsDirectory(LogDirectory()));

    std::vector<EtwEmuCall> starts = CallsOf(kEmuStartTrace);
    ASSERT_EQ(1u, starts.size());
    const EtwEmuCall& start = starts[0];
    EXPECT_STREQ(L"Quorvel", start.sessionName);
    ASSERT_EQ((ULONG)SESSION_BLOCK_BYTES, start.propertiesSize);
    EVENT_TRACE_PROPERTIES p = PropertiesOf(start);
    EXPECT_EQ(4216u, p.Wnode.BufferSize);
    EXPECT_TRUE(IsEqualGUID(fileSessionGuid, p.Wnode.Guid));
    EXPECT_EQ(1u, p.Wnode.ClientContext);
    EXPECT_EQ(0x00020000u, p.Wnode.Flags);
    EXPECT_EQ(1u, p.FlushTimer);
    EXPECT_EQ(2168u, p.LoggerNameOffset);
    EXPECT_EQ(120u, p.LogFileNameOffset);
    EXPECT_EQ(0x302u, p.LogFileMode);
    EXPECT_EQ(8u, p.MaximumFileSize);
    std::wstring logFile = LogDirectory() + L"\\Quorvel.etl";
    EXPECT_EQ(logFile, TextAt(start, 120));
    ExpectRestZero(start, logFile.size());
    EXPECT_TRUE(EtwEmuSessionRunning(L"Quorvel"));
    EXPECT_TRUE(debugOutput.empty());
}

TEST_F(TraceSessionTest, LiveSessionStartBlock)
{
    ASSERT_TRUE(StartTraceSession(FALSE, 3));
    std::vector<EtwEmuCall> starts = CallsOf(kEmuStartTrace);
    ASSERT_EQ(1u, starts.size());
    EXPECT_STREQ(L"QuorvelLive", starts[0].sessionName);
    EVENT_TRACE_PROPERTIES p = PropertiesOf(starts[0]);
    EXPECT_EQ(4216u, p.Wnode.BufferSize);
    EXPECT_TRUE(IsEqualGUID(liveSessionGuid, p.Wnode.Guid));
    EXPECT_FALSE(IsEqualGUID(fileSessionGuid, liveSessionGuid));
    EXPECT_EQ(1u, p.Wnode.ClientContext);
    EXPECT_EQ(0x00020000u, p.Wnode.Flags);
    EXPECT_EQ(1u, p.FlushTimer);
    EXPECT_EQ(2168u, p.LoggerNameOffset);
    EXPECT_EQ(0u, p.LogFileNameOffset);
    EXPECT_EQ(0x100u, p.LogFileMode);
    EXPECT_EQ(0u, p.MaximumFileSize);
    ExpectRestZero(starts[0], 0);
    // The live session touches no directory.
    EXPECT_FALSE(PathExists(LogDirectory()));
}

TEST_F(TraceSessionTest, SixProvidersEnabledInOrderWithTheLevelUnchanged)
{
    for (ULONG level : {1u, 3u, 5u}) {
        SCOPED_TRACE(testing::Message() << "level " << level);
        EtwEmuReset();
        ASSERT_TRUE(StartTraceSession(FALSE, level));
        TRACEHANDLE session = CallsOf(kEmuStartTrace).at(0).handle;
        std::vector<EtwEmuCall> enables = CallsOf(kEmuEnableTrace);
        ASSERT_EQ(6u, enables.size());
        for (size_t i = 0; i < enables.size(); ++i) {
            EXPECT_TRUE(IsEqualGUID(providerTable[i], enables[i].provider)) << "provider " << i;
            EXPECT_EQ(1u, enables[i].enable);
            EXPECT_EQ(0xFFFFFFFFu, enables[i].enableFlag);
            EXPECT_EQ(level, enables[i].enableLevel);
            EXPECT_EQ(session, enables[i].handle);
        }
    }
}

TEST_F(TraceSessionTest, FailingProviderLeavesEarlierOnesEnabledAndTheSessionRunning)
{
    for (ULONG failing = 1; failing <= 6; ++failing) {
        SCOPED_TRACE(testing::Message() << "provider " << failing << " fails");
        EtwEmuReset();
        debugOutput.clear();
        EtwEmuFailCall(kEmuEnableTrace, failing, ERROR_ACCESS_DENIED);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(StartTraceSession(FALSE, 4));
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
        EXPECT_TRUE(EtwEmuSessionRunning(L"QuorvelLive"));
        EXPECT_EQ(failing, CallsOf(kEmuEnableTrace).size());  // none after the failing one
        EtwEmuProvider enabled[8];
        size_t count = EtwEmuEnabledProviders(L"QuorvelLive", enabled, 8);
        ASSERT_EQ(failing - 1, count);
        for (size_t i = 0; i < count; ++i)
            EXPECT_TRUE(IsEqualGUID(providerTable[i], enabled[i].guid));
        ASSERT_EQ(1u, debugOutput.size());
        EXPECT_EQ(L"EnableTraceEx 0x00000005", debugOutput[0]);
    }
}

TEST_F(TraceSessionTest, StartOfASessionAlreadyRunningFails)
{
    ASSERT_TRUE(StartTraceSession(FALSE, 4));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StartTraceSession(FALSE, 4));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    ASSERT_EQ(1u, debugOutput.size());
    EXPECT_EQ(L"StartTrace 0x000000b7", debugOutput[0]);
    EXPECT_EQ(6u, CallsOf(kEmuEnableTrace).size());  // only the first start enabled
}

TEST_F(TraceSessionTest, PathThatDoesNotFitChangesNothing)
{
    // A Windows directory of 230 units: the log directory fits, the log file does not.
    fakeWindows = temp.path() + L"\\" + std::wstring(230 - temp.path().size() - 1, L'd');
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StartTraceSession(TRUE, 5));
    EXPECT_EQ((DWORD)ERROR_BAD_PATHNAME, GetLastError());
    EXPECT_EQ(0u, EtwEmuCallCount());

    fakeWindowsFails = true;
    EXPECT_FALSE(StartTraceSession(TRUE, 5));
    EXPECT_EQ((DWORD)ERROR_BAD_PATHNAME, GetLastError());
    EXPECT_EQ(0u, EtwEmuCallCount());
    // Only the temp folder's own two levels exist.
    EXPECT_FALSE(PathExists(LogDirectory()));
}

TEST_F(TraceSessionTest, OnlyTheLastDirectoryLevelIsCreated)
{
    DeleteTree(temp / L"System32\\LogFiles");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StartTraceSession(TRUE, 5));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
    EXPECT_FALSE(PathExists(temp / L"System32\\LogFiles"));
    EXPECT_EQ(0u, EtwEmuCallCount());

    // A plain file named WMI where the directory belongs.
    CreateDirectoryW((temp / L"System32\\LogFiles").c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(LogDirectory(), "not a directory"));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StartTraceSession(TRUE, 5));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_EQ("not a directory", ReadFileBytes(LogDirectory()));
    EXPECT_EQ(0u, EtwEmuCallCount());
}

TEST_F(TraceSessionTest, FileSessionStartReplacesTheCurrentLogOnly)
{
    CreateDirectoryW(LogDirectory().c_str(), nullptr);
    std::wstring current = LogDirectory() + L"\\Quorvel.etl";
    std::wstring older = LogDirectory() + L"\\Quorvel.etl.001";
    ASSERT_TRUE(WriteFileBytes(current, "old current log"));
    ASSERT_TRUE(WriteFileBytes(older, "older log"));
    ASSERT_TRUE(StartTraceSession(TRUE, 5));
    EXPECT_NE("old current log", ReadFileBytes(current));
    EXPECT_EQ("older log", ReadFileBytes(older));
}

TEST_F(TraceSessionTest, StopBlocksAndResults)
{
    ASSERT_TRUE(StartTraceSession(TRUE, 5));
    ASSERT_TRUE(StartTraceSession(FALSE, 5));
    struct Case {
        BOOL fileSession;
        const WCHAR* name;
        const GUID* guid;
    } cases[] = {{TRUE, L"Quorvel", &fileSessionGuid}, {FALSE, L"QuorvelLive", &liveSessionGuid}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "file session " << c.fileSession);
        size_t before = CallsOf(kEmuControlTrace).size();
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(StopTraceSession(c.fileSession));
        EXPECT_EQ(0u, GetLastError());
        EXPECT_FALSE(EtwEmuSessionRunning(c.name));
        std::vector<EtwEmuCall> stops = CallsOf(kEmuControlTrace);
        ASSERT_EQ(before + 1, stops.size());
        const EtwEmuCall& stop = stops.back();
        EXPECT_STREQ(c.name, stop.sessionName);
        EXPECT_EQ(0u, stop.handle);
        EXPECT_EQ((ULONG)EVENT_TRACE_CONTROL_STOP, stop.controlCode);
        EVENT_TRACE_PROPERTIES p = PropertiesOf(stop);
        EXPECT_EQ(4216u, p.Wnode.BufferSize);
        EXPECT_TRUE(IsEqualGUID(*c.guid, p.Wnode.Guid));
        EXPECT_EQ(0u, p.Wnode.ClientContext);
        EXPECT_EQ(0x00020000u, p.Wnode.Flags);
        EXPECT_EQ(120u, p.LogFileNameOffset);
        EXPECT_EQ(2168u, p.LoggerNameOffset);
        EXPECT_EQ(8u, p.MaximumFileSize);
        EXPECT_EQ(0x1300u, p.LogFileMode);
        EXPECT_EQ(0u, p.FlushTimer);
        ExpectRestZero(stop, 0);

        // Stopping again: nothing runs, which counts as stopped.
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(StopTraceSession(c.fileSession));
        EXPECT_EQ((DWORD)ERROR_WMI_INSTANCE_NOT_FOUND, GetLastError());
    }
    EXPECT_TRUE(debugOutput.empty());

    ASSERT_TRUE(StartTraceSession(FALSE, 5));
    EtwEmuFailCall(kEmuControlTrace, CallsOf(kEmuControlTrace).size() + 1, ERROR_ACCESS_DENIED);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StopTraceSession(FALSE));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_TRUE(EtwEmuSessionRunning(L"QuorvelLive"));
    ASSERT_EQ(1u, debugOutput.size());
    EXPECT_EQ(L"ControlTrace 0x00000005", debugOutput[0]);
}

}  // namespace
