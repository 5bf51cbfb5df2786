// Log files of the ETW emulation: what OpenTrace refuses, what ProcessTrace
// delivers from a file, a file session's file read while it is written, and
// a restart's numbered files.
#include <gtest/gtest.h>
#include <windows.h>
#include <evntrace.h>

#include <string>
#include <vector>

#include "etw_emulation/etw_emulation.h"
#include "test_support/temp_dir.h"
#include "tracing/trace_session.h"

namespace {

const GUID kEventTraceGuidValue = {0x68fdd900, 0x4a3e, 0x11d1, {0x84, 0xf4, 0x00, 0x00, 0xf8, 0x04, 0x64, 0xe3}};

struct Seen {
    EVENT_TRACE_HEADER header;
    std::string payload;
};
std::vector<Seen> seen;

void WINAPI Record(PEVENT_TRACE event)
{
    seen.push_back({event->Header, std::string((const char*)event->MofData, event->MofLength)});
}

// Reads the whole file; returns ProcessTrace's status, or OpenTrace's last
// error with the handle refused.
ULONG ReadLog(const std::wstring& path)
{
    seen.clear();
    EVENT_TRACE_LOGFILEW logFile = {};
    logFile.LogFileName = const_cast<LPWSTR>(path.c_str());
    logFile.LoggerName = const_cast<LPWSTR>(L"Quorvel");
    logFile.EventCallback = Record;
    SetLastError(0xdeadbeef);
    TRACEHANDLE trace = EtwOpenTrace(&logFile);
    if (trace == INVALID_PROCESSTRACE_HANDLE)
        return GetLastError();
    EXPECT_EQ(0xdeadbeefu, GetLastError());
    ULONG status = EtwProcessTrace(&trace, 1, nullptr, nullptr);
    EXPECT_EQ(0u, EtwCloseTrace(trace));
    return status;
}

class EmuLogFileTest : public testing::Test {
protected:
    void SetUp() override { EtwEmuReset(); }
    void TearDown() override { EtwEmuReset(); }
    TempDir temp;
};

TEST_F(EmuLogFileTest, OpenTraceRefusesWhatIsNoReadableLog)
{
    std::wstring locked = temp / L"locked.etl";
    ASSERT_EQ(0u, EtwEmuWriteLogFile(locked.c_str(), L"Quorvel", nullptr, 0));
    HANDLE holder = CreateFileW(locked.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(WriteFileBytes(temp / L"text.etl", "QuorvelTrace ETW emulation log\r\n"));
    ASSERT_TRUE(WriteFileBytes(temp / L"empty.etl", ""));
    ASSERT_TRUE(WriteFileBytes(temp / L"short.etl", "QvEmuEtl\1\0\0\0"));
    const struct { const WCHAR* name; ULONG status; } cases[] = {
        {L"missing.etl", ERROR_FILE_NOT_FOUND}, {L"locked.etl", ERROR_SHARING_VIOLATION},
        {L"text.etl", ERROR_FILE_CORRUPT}, {L"empty.etl", ERROR_FILE_CORRUPT}, {L"short.etl", ERROR_FILE_CORRUPT},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.status, ReadLog(temp / c.name)) << std::string(c.name, c.name + wcslen(c.name));
    CloseHandle(holder);
    EXPECT_EQ(0u, ReadLog(locked));
    ASSERT_EQ(1u, seen.size());
}

// Payloads of any length and shape come back byte for byte, in order, after
// the header event that names the session and the file.
TEST_F(EmuLogFileTest, ProcessTraceDeliversTheFileInOrder)
{
    std::string big(1536 * 1024 + 3, 'q');  // beyond one read of the file
    const std::string payloads[] = {std::string("\x41\0\x42", 3), "", big, std::string("T\0e\0x\0t\0\0\0", 10)};
    std::vector<EtwEmuFileEvent> events;
    for (int i = 0; i < 4; ++i)
        events.push_back({providerTable[i], (UCHAR)i, 100u + i, 200u + i, -1 - i, payloads[i].data(), (ULONG)payloads[i].size()});
    std::wstring path = temp / L"shapes.etl";
    ASSERT_EQ(0u, EtwEmuWriteLogFile(path.c_str(), L"Quorvel", events.data(), events.size()));
    ASSERT_EQ(0u, ReadLog(path));
    ASSERT_EQ(5u, seen.size());
    EXPECT_TRUE(IsEqualGUID(kEventTraceGuidValue, seen[0].header.Guid));
    EXPECT_EQ(0, seen[0].header.Class.Level);
    std::wstring names((const WCHAR*)(seen[0].payload.data() + sizeof(TRACE_LOGFILE_HEADER)),
                       (seen[0].payload.size() - sizeof(TRACE_LOGFILE_HEADER)) / sizeof(WCHAR));
    EXPECT_EQ(std::wstring(L"Quorvel\0", 8) + path + L'\0', names);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const Seen& event = seen[1 + i];
        EXPECT_TRUE(IsEqualGUID(providerTable[i], event.header.Guid));
        EXPECT_EQ(i, event.header.Class.Level);
        EXPECT_EQ(100u + i, event.header.ProcessId);
        EXPECT_EQ(200u + i, event.header.ThreadId);
        EXPECT_EQ(-1 - i, event.header.TimeStamp.QuadPart);
        EXPECT_TRUE(payloads[i] == event.payload);
    }
}

// The file session records its providers' events at its level; its file
// reads while it is written, and after a restart as .001 beside a new file.
TEST_F(EmuLogFileTest, FileSessionRecordsAndRestarts)
{
    std::wstring path = temp / L"Quorvel.etl";
    union { EVENT_TRACE_PROPERTIES properties; BYTE bytes[ETW_EMU_PROPERTIES_BYTES]; } block = {};
    block.properties.Wnode.BufferSize = sizeof(block);
    block.properties.LoggerNameOffset = 2168;
    block.properties.LogFileNameOffset = 120;
    block.properties.LogFileMode = 0x302;
    block.properties.MaximumFileSize = 8;
    wcscpy((WCHAR*)(block.bytes + 120), path.c_str());
    TRACEHANDLE session = 0;
    ASSERT_EQ(0u, EtwStartTrace(&session, L"Quorvel", &block.properties));
    ASSERT_EQ(0u, EtwEnableTrace(1, 0, 3, &providerTable[0], session));
    for (UCHAR level = 1; level <= 5; ++level)
        EtwEmuLogEvent(&providerTable[0], level, level, 0, 0, &level, 1);
    EtwEmuLogEvent(&providerTable[1], 1, 9, 0, 0, nullptr, 0);
    ASSERT_EQ(0u, ReadLog(path));
    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ(3u, seen[3].header.ProcessId);

    for (int n = 1; n <= 8; ++n)
        ASSERT_TRUE(WriteFileBytes(path + L".00" + std::to_wstring(n), std::string(1, '0' + n)));
    ASSERT_EQ(0u, EtwEmuPlayRestart(L"Quorvel", path.c_str(), 8));
    EXPECT_EQ(0u, ReadLog(path + L".001"));
    EXPECT_EQ(4u, seen.size());
    for (int n = 2; n <= 8; ++n)
        EXPECT_EQ(std::string(1, '0' + n - 1), ReadFileBytes(path + L".00" + std::to_wstring(n))) << n;
    // Started again with its provider: the new file holds what follows.
    EXPECT_EQ(1u, EtwEmuLogEvent(&providerTable[0], 2, 42, 0, 0, nullptr, 0));
    ASSERT_EQ(0u, ReadLog(path));
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(42u, seen[1].header.ProcessId);
}

}  // namespace
