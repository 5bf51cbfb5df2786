#include <gtest/gtest.h>
#include <windows.h>
#include <evntcons.h>
#include <evntrace.h>
#include <malloc.h>
#include <string.h>

#include <string>
#include <vector>

#include "etw_emulation/etw_emulation.h"
#include "live/line_store.h"
#include "live/live_consumer.h"
#include "tracing/trace_session.h"

namespace {

// Bounds a wait for the consumer; it never measures anything.
const DWORD kHangGuardMs = 30000;

const GUID kForeignGuid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

struct StoredLine {
    std::wstring text;
    DWORD processId;
    DWORD threadId;
    BYTE level;
    DWORD isStatus;
    ULONG64 time;
};

std::vector<StoredLine> HeldLines()
{
    std::vector<StoredLine> lines;
    EnterCriticalSection(&liveState.storeLock);
    for (ULONG64 s = liveState.totalCount - liveState.heldCount; s < liveState.totalCount; ++s) {
        const LiveLine& line = liveState.slots[s % LIVE_SLOT_COUNT];
        lines.push_back({line.text, line.processId, line.threadId, line.level, line.isStatus,
                         ((ULONG64)line.timestamp.dwHighDateTime << 32) |
                             line.timestamp.dwLowDateTime});
    }
    LeaveCriticalSection(&liveState.storeLock);
    return lines;
}

// The texts of the held lines, status lines marked "* ".
std::wstring HeldTexts()
{
    std::wstring joined;
    for (const StoredLine& line : HeldLines())
        joined += (line.isStatus ? L"* " : L"") + line.text + L"\n";
    return joined;
}

ULONG64 Now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ((ULONG64)now.dwHighDateTime << 32) | now.dwLowDateTime;
}

LONGLONG Ticks(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms)
{
    SYSTEMTIME time = {year, month, 0, day, hour, minute, second, ms};
    FILETIME file = {};
    EXPECT_TRUE(SystemTimeToFileTime(&time, &file));
    return (LONGLONG)(((ULONG64)file.dwHighDateTime << 32) | file.dwLowDateTime);
}

const LONGLONG kPlausibleTime = 133485408000000000ll;    // 2024-01-01

// Logs a text with its terminator as a provider of the table does.
void LogText(ULONG provider, UCHAR level, ULONG pid, ULONG tid, const WCHAR* text,
             LONGLONG timestamp = kPlausibleTime)
{
    ULONG bytes = (ULONG)((wcslen(text) + 1) * sizeof(WCHAR));
    EXPECT_EQ(1u, EtwEmuLogEvent(&providerTable[provider], level, pid, tid, timestamp, text, bytes));
}

// Busy blocks of the heap behind malloc, to see texts that were not freed.
size_t CrtHeapBlocks()
{
    HANDLE heap = (HANDLE)_get_heap_handle();
    size_t blocks = 0;
    PROCESS_HEAP_ENTRY entry = {};
    HeapLock(heap);
    while (HeapWalk(heap, &entry))
        blocks += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0;
    HeapUnlock(heap);
    return blocks;
}

class LiveConsumerTest : public testing::Test {
protected:
    void SetUp() override
    {
        EtwEmuReset();
        liveState.consumerThread = nullptr;
        DestroyLineStore();
        ASSERT_TRUE(CreateLineStore());
    }
    void TearDown() override
    {
        EtwEmuReset();
        if (consumer_ != nullptr) {
            WaitForSingleObject(consumer_, kHangGuardMs);
            CloseHandle(consumer_);
        }
        DestroyLineStore();
    }

    void StartConsumer()
    {
        consumer_ = CreateThread(nullptr, 0, ConsumerThreadProc, nullptr, 0, &consumerId_);
        ASSERT_NE(nullptr, consumer_);
    }
    // Waits for the thread's end; it always returns 0.
    void WaitConsumerEnd()
    {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(consumer_, kHangGuardMs));
        DWORD exitCode = 0xdeadbeef;
        EXPECT_TRUE(GetExitCodeThread(consumer_, &exitCode));
        EXPECT_EQ(0u, exitCode);
        CloseHandle(consumer_);
        consumer_ = nullptr;
    }
    // Runs the consumer over a started live session: `log` provides the
    // events, then the session is stopped.
    template <typename Log>
    void ConsumeSession(Log log)
    {
        ASSERT_TRUE(StartTraceSession(FALSE, 5));
        StartConsumer();
        log();
        EXPECT_TRUE(EtwEmuWaitDelivered(LIVE_SESSION_NAME, kHangGuardMs));
        EXPECT_TRUE(StopTraceSession(FALSE));
        WaitConsumerEnd();
    }
    void ExpectStatusLinesFromConsumer()
    {
        for (const StoredLine& line : HeldLines()) {
            if (!line.isStatus)
                continue;
            SCOPED_TRACE(testing::Message() << "status line " << line.text);
            EXPECT_EQ(GetCurrentProcessId(), line.processId);
            EXPECT_EQ(consumerId_, line.threadId);
            EXPECT_EQ(0, line.level);
        }
    }

    HANDLE consumer_ = nullptr;
    DWORD consumerId_ = 0;
};

TRACEHANDLE OpenedHandle()
{
    TRACEHANDLE handle = INVALID_PROCESSTRACE_HANDLE;
    EtwEmuCall call;
    for (size_t i = 0; EtwEmuGetCall(i, &call); ++i) {
        if (call.function == kEmuOpenTrace) {
            EXPECT_EQ(INVALID_PROCESSTRACE_HANDLE, handle) << "opened twice";
            EXPECT_STREQ(LIVE_SESSION_NAME, call.sessionName);
            EXPECT_EQ((ULONG)PROCESS_TRACE_MODE_REAL_TIME, call.logFileMode);
            handle = call.handle;
        } else if (call.function == kEmuCloseTrace) {
            EXPECT_EQ(handle, call.handle);
        }
    }
    return handle;
}

// A stopped session (ProcessTrace returns 0) and a closed handle (1223).
TEST_F(LiveConsumerTest, NormalEndsFrameTheEventLines)
{
    for (BOOL closeHandle : {FALSE, TRUE}) {
        SCOPED_TRACE(closeHandle ? "handle closed" : "session stopped");
        EtwEmuReset();
        ClearLineStore();
        ASSERT_TRUE(StartTraceSession(FALSE, 5));
        StartConsumer();
        LogText(0, 4, 4, 188, L"VReader::OnInsert(251) : card inserted");
        LogText(3, 2, 4412, 4416, L"QvCredential::GetSerialization(655) : no certificate");
        LogText(5, 5, 5536, 5540, L"plain message", kPlausibleTime + 10000);
        ASSERT_TRUE(EtwEmuWaitDelivered(LIVE_SESSION_NAME, kHangGuardMs));
        if (closeHandle)
            EtwCloseTrace(OpenedHandle());
        else
            EXPECT_TRUE(StopTraceSession(FALSE));
        WaitConsumerEnd();

        EXPECT_EQ(L"* Monitoring started.\n"
                  L"VReader::OnInsert(251) : card inserted\n"
                  L"QvCredential::GetSerialization(655) : no certificate\n"
                  L"plain message\n"
                  L"* Monitoring stopped.\n",
                  HeldTexts());
        ExpectStatusLinesFromConsumer();
        std::vector<StoredLine> lines = HeldLines();
        ASSERT_EQ(5u, lines.size());
        EXPECT_EQ(4412u, lines[2].processId);
        EXPECT_EQ(4416u, lines[2].threadId);
        EXPECT_EQ(2, lines[2].level);
        EXPECT_EQ((ULONG64)kPlausibleTime + 10000, lines[3].time);
        EXPECT_EQ(1u, liveState.errorCount);
        EXPECT_NE(INVALID_PROCESSTRACE_HANDLE, OpenedHandle());
    }
}

TEST_F(LiveConsumerTest, OpenTraceFailureAddsOneLine)
{
    ASSERT_TRUE(StartTraceSession(FALSE, 5));
    EtwEmuFailCall(kEmuOpenTrace, 1, ERROR_ACCESS_DENIED);
    StartConsumer();
    WaitConsumerEnd();
    EXPECT_EQ(L"* OpenTrace failed (0x00000005). The session could not be consumed.\n",
              HeldTexts());
    ExpectStatusLinesFromConsumer();
    EtwEmuCall call;
    for (size_t i = 0; EtwEmuGetCall(i, &call); ++i)
        EXPECT_NE(kEmuProcessTrace, call.function);
}

TEST_F(LiveConsumerTest, ProcessTraceFailures)
{
    struct Case { const WCHAR* what; ULONG failure; const WCHAR* line; };
    static const Case kCases[] = {
        {L"no session", 0, L"* ProcessTrace : the tracing session was not started.\n"},
        {L"access denied", ERROR_ACCESS_DENIED, L"* ProcessTrace failed (0x00000005).\n"},
        {L"HRESULT-like", 0x8007000E, L"* ProcessTrace failed (0x8007000E).\n"},
        {L"planned 4201", ERROR_WMI_INSTANCE_NOT_FOUND,
         L"* ProcessTrace : the tracing session was not started.\n"},
        {L"planned 1223", ERROR_CANCELLED, L""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.what);
        EtwEmuReset();
        ClearLineStore();
        // Without a planned failure no session exists, and ProcessTrace
        // finds none: 4201.
        if (c.failure != 0) {
            ASSERT_TRUE(StartTraceSession(FALSE, 5));
            EtwEmuFailCall(kEmuProcessTrace, 1, c.failure);
        }
        StartConsumer();
        WaitConsumerEnd();
        EXPECT_EQ(std::wstring(L"* Monitoring started.\n") + c.line + L"* Monitoring stopped.\n",
                  HeldTexts());
        ExpectStatusLinesFromConsumer();
    }
}

TEST_F(LiveConsumerTest, PayloadRules)
{
    struct Case { const WCHAR* what; std::wstring units; ULONG bytes; const WCHAR* stored; };
    std::wstring longText(20000, L'w');
    const Case kCases[] = {
        {L"7 bytes", L"abcd", 7, L"abc"},
        {L"1 byte", L"a", 1, nullptr},
        {L"no payload", L"", 0, nullptr},
        {L"no terminator", L"xyz", 6, L"xyz"},
        {L"9 bytes, no terminator", L"abcde", 9, L"abcd"},
        {L"cut at the first NUL", std::wstring(L"abc\0def", 8), 16, L"abc"},
        {L"starts with NUL", std::wstring(L"\0abc", 5), 10, nullptr},
        {L"trailing CR LF CR LF", L"msg\r\n\r\n", 16, L"msg"},
        {L"CR LF only", L"\r\n", 6, nullptr},
        {L"LF CR CR only", L"\n\r\r", 8, nullptr},
        {L"inner CR LF kept", L"a\r\nb", 10, L"a\r\nb"},
        {L"inner kept, trailing trimmed", L"a\r\nb\n", 12, L"a\r\nb"},
        {L"CR before the NUL", std::wstring(L"x\r\0\n", 5), 10, L"x"},
        {L"leading blanks kept", L"  x \t", 12, L"  x \t"},
        {L"long", longText, (ULONG)(longText.size() + 1) * 2, longText.c_str()},
    };
    ConsumeSession([&] {
        for (const Case& c : kCases) {
            EXPECT_EQ(1u, EtwEmuLogEvent(&providerTable[2], 4, 724, 1044, kPlausibleTime,
                                         c.units.data(), c.bytes))
                << c.what;
        }
    });
    std::wstring expected = L"* Monitoring started.\n";
    for (const Case& c : kCases) {
        if (c.stored != nullptr)
            expected += std::wstring(c.stored) + L"\n";
    }
    expected += L"* Monitoring stopped.\n";
    EXPECT_EQ(expected, HeldTexts());
}

TEST_F(LiveConsumerTest, ImplausibleTimestampsAreReplaced)
{
    struct Case { const WCHAR* what; LONGLONG timestamp; BOOL kept; };
    const Case kCases[] = {
        {L"last instant of 1999", Ticks(2000, 1, 1, 0, 0, 0, 0) - 1, FALSE},
        {L"mid 1999", Ticks(1999, 6, 15, 12, 0, 0, 0), FALSE},
        {L"start of 2000", Ticks(2000, 1, 1, 0, 0, 0, 0), TRUE},
        {L"mid 2000", Ticks(2000, 7, 1, 8, 30, 0, 0), TRUE},
        {L"last instant of 2199", Ticks(2200, 1, 1, 0, 0, 0, 0) - 1, TRUE},
        {L"start of 2200", Ticks(2200, 1, 1, 0, 0, 0, 0), FALSE},
        {L"mid 2200", Ticks(2200, 3, 1, 0, 0, 0, 0), FALSE},
        {L"zero", 0, FALSE},
        {L"negative", -1, FALSE},
        {L"largest", 0x7FFFFFFFFFFFFFFFll, FALSE},
    };
    ULONG64 before = Now();
    ConsumeSession([&] {
        ULONG tid = 0;
        for (const Case& c : kCases)
            LogText(4, 4, 1388, ++tid, c.what, c.timestamp);
    });
    ULONG64 after = Now();

    std::vector<StoredLine> lines = HeldLines();
    ASSERT_EQ(2 + sizeof(kCases) / sizeof(kCases[0]), lines.size());
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i) {
        const Case& c = kCases[i];
        const StoredLine& line = lines[i + 1];
        SCOPED_TRACE(testing::Message() << c.what << ", stored " << line.time);
        EXPECT_EQ(c.what, line.text);
        if (c.kept) {
            EXPECT_EQ((ULONG64)c.timestamp, line.time);
        } else {
            EXPECT_GE(line.time, before);
            EXPECT_LE(line.time, after);
        }
    }
}

TEST_F(LiveConsumerTest, LevelsStoredUnchangedAndForeignProvidersIgnored)
{
    struct Case { const GUID* provider; UCHAR level; const WCHAR* text; BOOL stored; };
    GUID nearMiss = providerTable[5];
    nearMiss.Data4[7] ^= 1;
    const Case kCases[] = {
        {&providerTable[0], 0, L"level 0", TRUE},
        {&providerTable[1], 1, L"level 1", TRUE},
        {&providerTable[2], 5, L"level 5", TRUE},
        {&providerTable[3], 6, L"level 6", TRUE},
        {&providerTable[4], 7, L"level 7", TRUE},
        {&providerTable[5], 255, L"level 255", TRUE},
        {&kForeignGuid, 4, L"foreign", FALSE},
        {&nearMiss, 4, L"last byte differs", FALSE},
    };
    ConsumeSession([&] {
        // Delivered whatever the session enabled, as Windows delivers its
        // own events.
        for (const Case& c : kCases) {
            ULONG bytes = (ULONG)((wcslen(c.text) + 1) * sizeof(WCHAR));
            EXPECT_TRUE(EtwEmuDeliverEvent(LIVE_SESSION_NAME, c.provider, c.level, 9, 10,
                                           kPlausibleTime, c.text, bytes));
        }
    });
    std::vector<StoredLine> lines = HeldLines();
    size_t next = 1;
    for (const Case& c : kCases) {
        if (!c.stored)
            continue;
        SCOPED_TRACE(testing::Message() << c.text);
        ASSERT_LT(next, lines.size());
        EXPECT_EQ(c.text, lines[next].text);
        EXPECT_EQ(c.level, lines[next].level);
        EXPECT_EQ(0u, lines[next].isStatus);
        ++next;
    }
    ASSERT_EQ(next + 1, lines.size());
    EXPECT_EQ(L"Monitoring stopped.", lines[next].text);
    EXPECT_EQ(1u, liveState.errorCount);
}

// --- The callback alone --------------------------------------------------------

EVENT_TRACE MakeEvent(const void* payload, ULONG bytes)
{
    EVENT_TRACE event = {};
    event.Header.Guid = providerTable[0];
    event.Header.Class.Level = 4;
    event.Header.TimeStamp.QuadPart = kPlausibleTime;
    event.MofData = const_cast<void*>(payload);
    event.MofLength = bytes;
    return event;
}

// Payloads that end right before an inaccessible page: a read past them
// faults.
TEST_F(LiveConsumerTest, CallbackReadsNothingPastThePayload)
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    BYTE* pages = (BYTE*)VirtualAlloc(nullptr, 2 * system.dwPageSize, MEM_COMMIT | MEM_RESERVE,
                                      PAGE_READWRITE);
    ASSERT_NE(nullptr, pages);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(pages + system.dwPageSize, system.dwPageSize, PAGE_NOACCESS, &old));
    BYTE* end = pages + system.dwPageSize;

    struct Case { const char* bytes; ULONG length; const WCHAR* stored; };
    static const Case kCases[] = {
        {"a\0b\0c\0d", 7, L"abc"},
        {"q", 1, nullptr},
        {"x\0y\0", 4, L"xy"},
        {"\r\0\n\0", 4, nullptr},
        {"z\0\r\0\n", 5, L"z"},
    };
    std::wstring expected;
    for (const Case& c : kCases) {
        memcpy(end - c.length, c.bytes, c.length);
        EVENT_TRACE event = MakeEvent(end - c.length, c.length);
        LiveEventCallback(&event);
        if (c.stored != nullptr)
            expected += std::wstring(c.stored) + L"\n";
    }
    EXPECT_EQ(expected, HeldTexts());
    VirtualFree(pages, 0, MEM_RELEASE);
}

TEST_F(LiveConsumerTest, DroppedEventsLeaveNothingBehind)
{
    static const WCHAR kCrLf[] = L"\r\n\r\n";
    static const WCHAR kNulFirst[] = L"\0abc";
    static const WCHAR kText[] = L"text";
    EVENT_TRACE events[] = {
        MakeEvent(kCrLf, sizeof(kCrLf)),
        MakeEvent(kNulFirst, sizeof(kNulFirst)),
        MakeEvent(kText, 1),
        MakeEvent(nullptr, 10),
        MakeEvent(kText, sizeof(kText)),
    };
    events[4].Header.Guid = kForeignGuid;

    size_t blocks = CrtHeapBlocks();
    LiveEventCallback(nullptr);
    for (EVENT_TRACE& event : events)
        LiveEventCallback(&event);
    EXPECT_EQ(blocks, CrtHeapBlocks());
    EXPECT_EQ(0u, liveState.totalCount);

    // Without a store, an accepted event's text is freed too.
    DestroyLineStore();
    EVENT_TRACE accepted = MakeEvent(kText, sizeof(kText));
    blocks = CrtHeapBlocks();
    LiveEventCallback(&accepted);
    EXPECT_EQ(blocks, CrtHeapBlocks());
    ASSERT_TRUE(CreateLineStore());
}

}  // namespace
