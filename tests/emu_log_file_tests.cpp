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

// ProcessTrace's status over the whole file, or OpenTrace's last error.
ULONG ReadLog(const std::wstring& path)
{
    seen.clear();
    EVENT_TRACE_LOGFILEW logFile = {};
    logFile.LogFileName = const_cast<LPWSTR>(path.c_str());
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
    const struct { const WCHAR* name; const char* bytes; ULONG status; } cases[] = {
        {L"missing.etl", nullptr, ERROR_FILE_NOT_FOUND}, {L"locked.etl", nullptr, ERROR_SHARING_VIOLATION},
        {L"text.etl", "QuorvelTrace log\r\n", ERROR_FILE_CORRUPT}, {L"empty.etl", "", ERROR_FILE_CORRUPT},
        {L"short.etl", "QvEmuEtl\1", ERROR_FILE_CORRUPT},  // a cut header
    };
    for (const auto& c : cases) {
        if (c.bytes) {
            ASSERT_TRUE(WriteFileBytes(temp / c.name, c.bytes));
        }
        EXPECT_EQ(c.status, ReadLog(temp / c.name)) << c.status;
    }
    CloseHandle(holder);
    EXPECT_EQ(0u, ReadLog(locked));
}

// Payloads of any length and shape come back byte for byte, in order, after
// the header event that names the session and the file.
TEST_F(EmuLogFileTest, ProcessTraceDeliversTheFileInOrder)
{
    const std::string payloads[] = {std::string("A\0B", 3), "", std::string(1536 * 1024 + 3, 'q'), std::string("T\0x\0\0", 6)};
    std::vector<EtwEmuFileEvent> events;
    for (int i = 0; i < 4; ++i)
        events.push_back({providerTable[i], (UCHAR)i, 100u + i, 200u + i, -1 - i, payloads[i].data(), (ULONG)payloads[i].size()});
    std::wstring path = temp / L"shapes.etl";
    ASSERT_EQ(0u, EtwEmuWriteLogFile(path.c_str(), L"Quorvel", events.data(), events.size()));
    ASSERT_EQ(0u, ReadLog(path));
    ASSERT_EQ(5u, seen.size());
    EXPECT_TRUE(IsEqualGUID(kEventTraceGuidValue, seen[0].header.Guid) && seen[0].header.Class.Level == 0);
    std::wstring names = std::wstring(L"Quorvel") + L'\0' + path + L'\0';
    EXPECT_EQ(std::string((const char*)names.data(), names.size() * 2), seen[0].payload.substr(sizeof(TRACE_LOGFILE_HEADER)));
    for (int i = 0; i < 4; ++i) {
        const EVENT_TRACE_HEADER& header = seen[1 + i].header;
        EXPECT_TRUE(IsEqualGUID(providerTable[i], header.Guid) && header.Class.Level == i && header.ProcessId == 100u + i &&
                    header.ThreadId == 200u + i && header.TimeStamp.QuadPart == -1 - i && seen[1 + i].payload == payloads[i])
            << "event " << i;
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
        EtwEmuLogEvent(&providerTable[level == 5], level, level, 0, 0, &level, 1);
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
