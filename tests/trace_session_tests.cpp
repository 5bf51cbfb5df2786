// Session control: log paths, the properties blocks of start and stop, the
// providers enabled and what a failure leaves behind.
#include <gtest/gtest.h>

#include <windows.h>
#include <evntrace.h>

#include <algorithm>
#include <string>
#include <vector>

#include "etw_emulation/etw_emulation.h"
#include "test_support/import_patch.h"
#include "test_support/temp_dir.h"
#include "tracing/trace_session.h"

namespace {

// What the patched GetSystemWindowsDirectoryW answers; empty: it fails.
std::wstring fakeWindows;
std::vector<std::wstring> debugOutput;

UINT WINAPI FakeGetSystemWindowsDirectoryW(LPWSTR buffer, UINT units)
{
    if (fakeWindows.empty()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (fakeWindows.size() + 1 > units)
        return (UINT)fakeWindows.size() + 1;
    wcscpy(buffer, fakeWindows.c_str());
    return (UINT)fakeWindows.size();
}

void WINAPI CaptureOutputDebugStringW(LPCWSTR text)
{
    debugOutput.push_back(text);
}

// The call fails and sets `error` itself.
void ExpectFailure(DWORD error, BOOL (*call)())
{
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(call());
    EXPECT_EQ(error, GetLastError());
}

class TraceSessionTest : public testing::Test {
protected:
    void SetUp() override
    {
        EtwEmuReset();
        fakeWindows = temp.path();
        CreateDirectoryW((temp / L"System32").c_str(), nullptr);
        CreateDirectoryW((temp / L"System32\\LogFiles").c_str(), nullptr);
        debugOutput.clear();
        ASSERT_TRUE(windowsDirectory.active());
    }

    std::wstring LogDirectory() const { return temp / L"System32\\LogFiles\\WMI"; }

    TempDir temp;
    ImportPatch windowsDirectory{"kernel32.dll", "GetSystemWindowsDirectoryW",
                                 (void*)FakeGetSystemWindowsDirectoryW};
    ImportPatch debugString{"kernel32.dll", "OutputDebugStringW", (void*)CaptureOutputDebugStringW};
};

TEST_F(TraceSessionTest, LogPathsFromTheWindowsDirectory)
{
    std::wstring fits = L"C:\\" + std::wstring(259 - 3 - 34, L'a');  // 259 units with the file name
    struct Case {
        std::wstring windows;  // empty: the call fails
        bool directory;        // GetLogDirectory, else GetLogFilePath
        const WCHAR* suffix;
        std::wstring expected;  // empty: FALSE
    } cases[] = {
        {L"C:\\Windows", false, L".008", L"C:\\Windows\\System32\\LogFiles\\WMI\\Quorvel.etl.008"},
        {L"C:\\Windows\\", true, nullptr, L"C:\\Windows\\System32\\LogFiles\\WMI"},
        {fits, false, nullptr, fits + L"\\System32\\LogFiles\\WMI\\Quorvel.etl"},
        {fits + L"b", false, nullptr, L""},
        {std::wstring(260, L'x'), true, nullptr, L""},
        {L"", true, nullptr, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        fakeWindows = c.windows;
        WCHAR path[MAX_PATH + 1];
        path[MAX_PATH] = 0x5A5A;  // guard unit past the buffer
        BOOL ok = c.directory ? GetLogDirectory(path) : GetLogFilePath(path, c.suffix);
        EXPECT_EQ(c.expected, ok ? path : L"");
        EXPECT_EQ(0x5A5A, path[MAX_PATH]);
    }
}

// Each block byte for byte as ETW receives it: the header fields, a file
// session's log file name, zero everywhere else.
TEST_F(TraceSessionTest, StartAndStopBlocks)
{
    std::wstring logFile = LogDirectory() + L"\\Quorvel.etl";
    // Start, query (with losses to report) and stop of each session; a
    // query and a stop send the same block.
    enum Step { kStart, kQuery, kStop };
    struct Case { Step step; BOOL fileSession; ULONG level, contextAndTimer, logFileOffset, mode, maximumFileSize;
                  bool directoryAfter; } cases[] = {
        {kStart, FALSE, 3, 1, 0, 0x100, 0, false},
        {kStart, TRUE, 5, 1, 120, 0x302, 8, true},
        {kQuery, TRUE, 5, 0, 120, 0x1300, 8, true},  // the providers as started...
        {kQuery, FALSE, 0, 0, 120, 0x1300, 8, true},  // ...taken by the file session
        {kStop, TRUE, 0, 0, 120, 0x1300, 8, true},
        {kStop, FALSE, 0, 0, 120, 0x1300, 8, true},
    };
    const GUID kFileSession = {0x5c0b3a61, 0x2f4e, 0x4d8a, {0x9b, 0x17, 0x6e, 0x1f, 0x0c, 0x2d, 0x3a, 0x41}};
    const GUID kLiveSession = {0x5c0b3a62, 0x2f4e, 0x4d8a, {0x9b, 0x17, 0x6e, 0x1f, 0x0c, 0x2d, 0x3a, 0x42}};
    for (const Case& c : cases) {
        const WCHAR* name = c.fileSession ? L"Quorvel" : L"QuorvelLive";
        bool stop = c.step == kStop;
        SCOPED_TRACE(testing::Message() << "step " << c.step << ", file session " << c.fileSession);
        SetLastError(0xdeadbeef);
        if (c.step == kQuery) {
            EtwEmuAddSessionLosses(name, 4, c.fileSession ? 0 : 5, c.fileSession ? 6 : 0);
            TraceSessionLosses losses = {9, 9, 9};
            EXPECT_EQ(0u, QueryTraceSession(c.fileSession, &losses));
            EXPECT_EQ(4u, losses.eventsLost);
            EXPECT_EQ(c.fileSession ? 0u : 5u, losses.realTimeBuffersLost);
            EXPECT_EQ(c.fileSession ? 6u : 0u, losses.logBuffersLost);
        } else {
            EXPECT_TRUE(stop ? StopTraceSession(c.fileSession) : StartTraceSession(c.fileSession, c.level));
            EXPECT_EQ(0u, GetLastError());
        }
        EXPECT_EQ(!stop, !!EtwEmuSessionRunning(name));
        EXPECT_EQ(c.directoryAfter, PathExists(LogDirectory(), true));
        EtwEmuProvider enabled[8];  // a start's, in table order, at its level with every flag
        size_t providers = stop || c.level == 0 ? 0u : 6u;
        ASSERT_EQ(providers, EtwEmuEnabledProviders(name, enabled, 8));
        for (size_t i = 0; i < providers; ++i) {
            EXPECT_TRUE(IsEqualGUID(providerTable[i], enabled[i].guid)) << "provider " << i;
            EXPECT_EQ(c.level, enabled[i].level);
            EXPECT_EQ(0xFFFFFFFFu, enabled[i].flags);
        }

        EtwEmuCall call = {};  // a start's is followed by the six enables
        ASSERT_TRUE(EtwEmuGetCall(EtwEmuCallCount() - (c.step == kStart ? 1 + 6 : 1), &call));
        EXPECT_EQ(c.step == kStart ? kEmuStartTrace : kEmuControlTrace, call.function);
        EXPECT_EQ(c.step == kStop ? 1u : 0u, call.controlCode) << "QUERY 0, STOP 1";
        EXPECT_STREQ(name, call.sessionName);
        std::vector<BYTE> expected(4216);
        auto* p = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(expected.data());
        p->Wnode.BufferSize = 4216;
        p->Wnode.Guid = c.fileSession ? kFileSession : kLiveSession;
        p->Wnode.ClientContext = c.contextAndTimer;
        p->Wnode.Flags = 0x00020000;
        p->FlushTimer = c.contextAndTimer;
        p->LoggerNameOffset = 2168;
        p->LogFileNameOffset = c.logFileOffset;
        p->LogFileMode = c.mode;
        p->MaximumFileSize = c.maximumFileSize;
        if (c.fileSession && c.step == kStart)  // a start names its log file
            memcpy(&expected[120], logFile.c_str(), logFile.size() * sizeof(WCHAR));
        ASSERT_EQ(expected.size(), call.propertiesSize);
        auto differs = std::mismatch(expected.begin(), expected.end(), call.properties).first;
        EXPECT_EQ(expected.end(), differs) << "byte " << differs - expected.begin();
    }
    EXPECT_TRUE(debugOutput.empty());
}

// A failure sets its status and traces it for the debugger. No rollback:
// earlier providers stay enabled and the session runs; nothing later is tried.
TEST_F(TraceSessionTest, FailuresLeaveWhatWasDone)
{
    for (ULONG failing = 1; failing <= 6; ++failing) {
        SCOPED_TRACE(testing::Message() << "provider " << failing << " fails");
        EtwEmuReset();
        debugOutput.clear();
        EtwEmuFailCall(kEmuEnableTrace, failing, ERROR_ACCESS_DENIED);
        ExpectFailure(ERROR_ACCESS_DENIED, [] { return StartTraceSession(FALSE, 4); });
        EXPECT_TRUE(EtwEmuSessionRunning(L"QuorvelLive"));
        EXPECT_EQ(failing - 1, EtwEmuEnabledProviders(L"QuorvelLive", nullptr, 0));
        EXPECT_EQ(std::vector<std::wstring>{L"EnableTraceEx 0x00000005"}, debugOutput);
    }
    debugOutput.clear();
    ExpectFailure(ERROR_ALREADY_EXISTS, [] { return StartTraceSession(FALSE, 4); });
    EtwEmuFailCall(kEmuControlTrace, 1, ERROR_ACCESS_DENIED);
    ExpectFailure(ERROR_ACCESS_DENIED, [] { return StopTraceSession(FALSE); });
    EXPECT_TRUE(EtwEmuSessionRunning(L"QuorvelLive"));
    EXPECT_EQ((std::vector<std::wstring>{L"StartTrace 0x000000b7", L"ControlTrace 0x00000005"}), debugOutput);

    // Only the last directory level is made; no ETW call before it exists.
    EtwEmuReset();
    DeleteTree(temp / L"System32\\LogFiles");
    ExpectFailure(ERROR_PATH_NOT_FOUND, [] { return StartTraceSession(TRUE, 5); });
    EXPECT_FALSE(PathExists(temp / L"System32\\LogFiles"));
    EXPECT_EQ(0u, EtwEmuCallCount());
}

}  // namespace
