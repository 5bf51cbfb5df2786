// The line store under a producer at full speed and at destruction, and the
// consumer through the emulated live session and through its callback alone.
#include <gtest/gtest.h>
#include <windows.h>
#include <evntrace.h>
#include <malloc.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "common/wide_format.h"
#include "etw_emulation/etw_emulation.h"
#include "live/line_store.h"
#include "live/live_consumer.h"
#include "test_support/heap_blocks.h"
#include "test_support/import_patch.h"
#include "tracing/trace_session.h"

namespace {

const DWORD kHangGuardMs = 30000;   // bounds a wait, never measures anything
const LONGLONG kPlausibleTime = 133485408000000000ll;    // 2024-01-01

// Appends `format` with `n` as a fresh heap text, as producers pass it.
void Append(BYTE level, DWORD isStatus, const WCHAR* format, ULONG64 n = 0)
{
    WCHAR text[64];
    FormatTruncating(text, 64, format, n);
    FILETIME time = {0x12345678, 0x01d00000};
    AppendLiveLine(&time, 1000, 2000, level, isStatus, _wcsdup(text));
}

ULONG64 Now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ((ULONG64)now.dwHighDateTime << 32) | now.dwLowDateTime;
}

DWORD NonNullSlots()
{
    DWORD count = 0;
    for (DWORD i = 0; i < LIVE_SLOT_COUNT; ++i)
        count += liveState.slots[i].text != nullptr;
    return count;
}

// The held lines, a row each: "* text" (status) or "pid tid level text".
std::wstring Held(std::vector<ULONG64>* times = nullptr)
{
    std::wstring rows;
    EnterCriticalSection(&liveState.storeLock);
    for (ULONG64 s = liveState.totalCount - liveState.heldCount; s < liveState.totalCount; ++s) {
        const LiveLine& line = liveState.slots[s % LIVE_SLOT_COUNT];
        WCHAR ids[40];
        FormatTruncating(ids, 40, L"%u %u %u ", line.processId, line.threadId, line.level);
        rows += (line.isStatus ? L"* " : ids) + std::wstring(line.text) + L"\n";
        if (times != nullptr)
            times->push_back(((ULONG64)line.timestamp.dwHighDateTime << 32) | line.timestamp.dwLowDateTime);
    }
    LeaveCriticalSection(&liveState.storeLock);
    return rows;
}

class LiveCaptureTest : public testing::Test {
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
        liveState.consumerThread = nullptr;
        DestroyLineStore();
    }

    // Runs the consumer thread to its end; `whileRunning` acts meanwhile.
    void RunConsumer(const std::function<void()>& whileRunning = [] {})
    {
        HANDLE consumer = CreateThread(nullptr, 0, ConsumerThreadProc, nullptr, 0, nullptr);
        ASSERT_NE(nullptr, consumer);
        whileRunning();
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(consumer, kHangGuardMs));
        CloseHandle(consumer);
    }
    // The consumer over a started live session: `log` provides the events,
    // then the session is stopped.
    void ConsumeSession(const std::function<void()>& log)
    {
        ASSERT_TRUE(StartTraceSession(FALSE, 5));
        RunConsumer([&] {
            log();
            EXPECT_TRUE(EtwEmuWaitDelivered(LIVE_SESSION_NAME, kHangGuardMs));
            EXPECT_TRUE(StopTraceSession(FALSE));
        });
    }
};

// A full store drops its oldest line; Clear keeps the numbering; status
// lines; a destroyed store leaves late appends alone.
TEST_F(LiveCaptureTest, StoreFromFullToDestroyed)
{
    for (DWORD i = 0; i < LIVE_SLOT_COUNT; ++i)
        Append(i % 3 == 2 ? 2 : 4, 0, L"fill %I64u", i);
    size_t blocks = CrtHeapBlocks();
    Append(4, 0, L"newest");
    EXPECT_EQ(blocks, CrtHeapBlocks()) << "the text of sequence 0 was freed";
    EXPECT_EQ(LIVE_SLOT_COUNT, liveState.heldCount);
    EXPECT_EQ(LIVE_SLOT_COUNT + 1ull, liveState.totalCount);
    EXPECT_STREQ(L"newest", liveState.slots[0].text);
    EXPECT_STREQ(L"fill 1", liveState.slots[1].text);

    ClearLineStore();
    EXPECT_EQ(blocks - LIVE_SLOT_COUNT, CrtHeapBlocks());
    EXPECT_EQ(0u, liveState.heldCount);
    EXPECT_EQ(0u, liveState.errorCount);
    EXPECT_EQ(0u, NonNullSlots());
    AppendLiveLine(nullptr, 1, 2, 2, 0, nullptr);
    Append(2, 0, L"after clear");
    EXPECT_EQ(1u, liveState.errorCount);
    EXPECT_EQ(1u, liveState.heldCount);
    EXPECT_STREQ(L"after clear", liveState.slots[(LIVE_SLOT_COUNT + 1) % LIVE_SLOT_COUNT].text);

    // Status lines: up to 511 units after formatting; a longer or empty one adds nothing.
    std::wstring x511(511, L'x');
    AddStatusLine(L"%s!", x511.c_str());
    AddStatusLine(L"%s", L"");
    AddStatusLine(L"%s!", x511.c_str() + 1);
    ASSERT_EQ(2u, liveState.heldCount);
    const LiveLine& line = liveState.slots[(LIVE_SLOT_COUNT + 2) % LIVE_SLOT_COUNT];
    EXPECT_EQ(x511.substr(1) + L"!", line.text);
    EXPECT_TRUE(line.processId == GetCurrentProcessId() && line.threadId == GetCurrentThreadId() &&
                line.level == 0 && line.isStatus != 0);

    // Destroyed with its consumer gone: the lock goes too, and late
    // appends and Clear find no store (see the late producer below).
    blocks = CrtHeapBlocks();
    DestroyLineStore();
    EXPECT_EQ(blocks - 3, CrtHeapBlocks()) << "the two texts and the slots";
    EXPECT_FALSE(liveState.storeLockReady);
    ClearLineStore();
    Append(2, 0, L"late");
    AddStatusLine(L"late status");
    EXPECT_EQ(blocks - 3, CrtHeapBlocks());
    EXPECT_EQ(nullptr, liveState.slots);
    EXPECT_EQ(0u, liveState.totalCount);
}

// --- One producer at full speed against a reader checking the invariants ---

// Line n reads "E<n>", or "S<n>" as a status line when n % 13 is 0; its
// level is n % 7, so status lines of levels 1 and 2 exist too.
const ULONG64 kStressLines = 300000;
const ULONG64 kHandshakeEvery = 25000;

// `checks`: invariant checks the reader completed.
struct Producer { volatile LONG checks; volatile LONG64 appended; };

DWORD WINAPI ProducerThread(LPVOID param)
{
    Producer* p = (Producer*)param;
    for (ULONG64 n = 0; n < kStressLines; ++n) {
        // Now and then wait for a fresh check, so that checks fall all
        // along the run whatever the scheduler does.
        if (n % kHandshakeEvery == 0 && n != 0) {
            for (LONG seen = p->checks; p->checks == seen;)
                SwitchToThread();
        }
        Append((BYTE)(n % 7), n % 13 == 0, n % 13 == 0 ? L"S%I64u" : L"E%I64u", n);
        InterlockedExchange64(&p->appended, (LONG64)n + 1);
    }
    return 0;
}

// Lets the producer pass its handshakes until it has appended `lines`.
void PumpProducer(Producer* producer, HANDLE thread, LONG64 lines = kStressLines)
{
    while (producer->appended < lines && WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) {
        InterlockedIncrement(&producer->checks);
        SwitchToThread();
    }
}

// storeLock held.
void CheckInvariants(ULONG64* lastTotal)
{
    ULONG64 total = liveState.totalCount;
    DWORD held = liveState.heldCount, errors = 0;
    ASSERT_TRUE(held <= LIVE_SLOT_COUNT && held <= total && total >= *lastTotal)
        << "total " << total << " after " << *lastTotal << ", held " << held;
    ASSERT_EQ(held, NonNullSlots()) << "texts outside the held range";
    *lastTotal = total;
    for (ULONG64 s = total - held, previous = 0; s < total; ++s) {
        const LiveLine& line = liveState.slots[s % LIVE_SLOT_COUNT];
        ULONG64 n = line.text != nullptr ? _wcstoui64(line.text + 1, nullptr, 10) : 0;
        bool status = n % 13 == 0;
        ASSERT_TRUE(line.text != nullptr && (s == total - held || n > previous) && line.level == n % 7 &&
                    (line.isStatus != 0) == status && (line.text[0] == L'S') == status)
            << "sequence " << s << ": " << (line.text ? line.text : L"(null)") << ", level " << (int)line.level;
        previous = n;
        errors += !status && (line.level == 1 || line.level == 2);
    }
    ASSERT_EQ(errors, liveState.errorCount);
}

TEST_F(LiveCaptureTest, ConcurrentProducerKeepsTheInvariants)
{
    Producer producer = {};
    HANDLE thread = CreateThread(nullptr, 0, ProducerThread, &producer, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    ULONG64 lastTotal = 0;
    for (BOOL finished = FALSE; !finished && !HasFailure();) {
        finished = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
        EnterCriticalSection(&liveState.storeLock);
        CheckInvariants(&lastTotal);
        LeaveCriticalSection(&liveState.storeLock);
        InterlockedIncrement(&producer.checks);
    }
    PumpProducer(&producer, thread);      // after a failure, it may still wait for checks
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_GE(producer.checks, (LONG)(kStressLines / kHandshakeEvery));
    EXPECT_EQ(kStressLines, liveState.totalCount);
}

TEST_F(LiveCaptureTest, DestructionWhileALateProducerAppends)
{
    size_t blocks = CrtHeapBlocks();
    Producer producer = {};
    HANDLE thread = CreateThread(nullptr, 0, ProducerThread, &producer, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    liveState.consumerThread = thread;      // the window's wait ran out
    PumpProducer(&producer, thread, 2 * LIVE_SLOT_COUNT);
    DestroyLineStore();
    EXPECT_TRUE(liveState.storeLockReady) << "a late consumer may still enter the lock";
    PumpProducer(&producer, thread);        // the rest into no store
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(nullptr, liveState.slots);
    EXPECT_EQ(blocks - 1, CrtHeapBlocks()) << "every text, the late ones too, and the slots";
}

// --- The consumer thread and its callback ---------------------------------

// Through the session: the table's providers only, levels unchanged,
// implausible times replaced. Payloads straight into the callback from the end
// of a page followed by an inaccessible one, counting the heap: a stored text
// takes the units up to its first NUL, one that cannot be allocated is dropped.
TEST_F(LiveCaptureTest, PayloadsAndProvidersEndToEnd)
{
    GUID nearMiss = providerTable[5];
    nearMiss.Data4[7] ^= 1;
    struct Delivered { const GUID* provider; UCHAR level; const WCHAR* text; };
    const Delivered kDelivered[] = {
        {&providerTable[1], 0, L"level 0"}, {&providerTable[2], 6, L"level 6"},
        {&providerTable[5], 255, L"level 255"}, {&nearMiss, 4, L"last byte differs"},
    };
    struct Case { std::wstring units; ULONG bytes; const WCHAR* stored; };
    std::wstring longText(20000, L'w');
    const Case kCases[] = {
        {L"abcd", 7, L"abc"},   // an odd last byte is no unit
        {L"a", 1, nullptr}, {L"", 0, nullptr},
        {L"xyz", 6, L"xyz"},    // no terminator
        {std::wstring(L"abc\0def", 8), 16, L"abc"}, {std::wstring(L"\0abc", 5), 10, nullptr},
        {L"msg\r\n\r\n", 16, L"msg"}, {L"\r\n", 6, nullptr}, {L"a\r\nb\n", 12, L"a\r\nb"},
        {std::wstring(L"x\r\0\n", 5), 10, L"x"}, {L"  x \t", 12, L"  x \t"},
        {longText, (ULONG)(longText.size() + 1) * 2, longText.c_str()},
    };
    const LONGLONG k2000 = 125911584000000000ll, k2200 = 189025920000000000ll;   // 1 January, UTC
    const LONGLONG kTimes[] = {k2000, k2200 - 1, k2000 - 1, k2200, 0, -1};
    ULONG64 before = Now();
    ConsumeSession([&] {
        const WCHAR kFirst[] = L"QvCredential::GetSerialization(655) : no certificate";
        EtwEmuLogEvent(&providerTable[3], 2, 4412, 4416, kPlausibleTime + 10000, kFirst, sizeof(kFirst));
        for (const Delivered& d : kDelivered) {
            EXPECT_TRUE(EtwEmuDeliverEvent(LIVE_SESSION_NAME, d.provider, d.level, 9, 10, kPlausibleTime, d.text,
                                           (ULONG)(wcslen(d.text) + 1) * sizeof(WCHAR)));
        }
        for (LONGLONG time : kTimes)
            EtwEmuLogEvent(&providerTable[4], 4, 1, 2, time, L"t", sizeof(L"t"));
    });
    ULONG64 after = Now();
    std::vector<ULONG64> times;
    EXPECT_EQ(L"* Monitoring started.\n4412 4416 2 QvCredential::GetSerialization(655) : no certificate\n"
              L"9 10 0 level 0\n9 10 6 level 6\n9 10 255 level 255\n"
              L"1 2 4 t\n1 2 4 t\n1 2 4 t\n1 2 4 t\n1 2 4 t\n1 2 4 t\n* Monitoring stopped.\n",
              Held(&times));
    EXPECT_EQ((ULONG64)kPlausibleTime + 10000, times.at(1));
    // Times from 2000-01-01 to the end of 2199 (UTC) are kept; others
    // replaced by the time of arrival.
    for (size_t i = 0, at = times.size() - 7; i < 6; ++i, ++at) {
        SCOPED_TRACE(testing::Message() << "time " << kTimes[i] << ", stored " << times[at]);
        EXPECT_TRUE(i < 2 ? times[at] == (ULONG64)kTimes[i] : times[at] >= before && times[at] <= after);
    }
    EXPECT_EQ(1u, liveState.errorCount);
    // The trace handle was closed: closing it again finds nothing.
    TRACEHANDLE opened = 0;
    EtwEmuCall call;
    for (size_t i = 0; EtwEmuGetCall(i, &call); ++i)
        opened = call.function == kEmuOpenTrace ? call.handle : opened;
    EXPECT_EQ(6u, EtwCloseTrace(opened));

    const SIZE_T span = 64 * 1024;
    BYTE* pages = (BYTE*)VirtualAlloc(nullptr, 2 * span, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    DWORD old;
    ASSERT_TRUE(pages != nullptr && VirtualProtect(pages + span, span, PAGE_NOACCESS, &old));
    ClearLineStore();
    std::wstring expected;
    for (const Case& c : kCases)
        expected += c.stored != nullptr ? L"724 1044 4 " + std::wstring(c.stored) + L"\n" : L"";
    size_t blocks = CrtHeapBlocks(), stored = 0;
    EVENT_TRACE event = {};
    event.Header.Guid = providerTable[2];
    event.Header.ProcessId = 724;
    event.Header.ThreadId = 1044;
    event.Header.Class.Level = 4;
    event.Header.TimeStamp.QuadPart = kPlausibleTime;
    for (const Case& c : kCases) {
        event.MofData = memcpy(pages + span - c.bytes, c.units.data(), c.bytes);
        event.MofLength = c.bytes;
        LiveEventCallback(&event);
        stored += c.stored != nullptr;
    }
    EXPECT_EQ(blocks + stored, CrtHeapBlocks()) << "only the stored texts remain";
    EXPECT_EQ(expected, Held());
    EnterCriticalSection(&liveState.storeLock);
    for (ULONG64 s = liveState.totalCount - liveState.heldCount; s < liveState.totalCount; ++s) {
        const WCHAR* text = liveState.slots[s % LIVE_SLOT_COUNT].text;
        EXPECT_EQ((wcslen(text) + 1) * sizeof(WCHAR), _msize((void*)text)) << text;
    }
    LeaveCriticalSection(&liveState.storeLock);
    VirtualFree(pages, 0, MEM_RELEASE);

    // No memory for a text: the event, or a status line, is dropped.
    ULONG64 total = liveState.totalCount;
    {
        ImportPatch noMalloc("msvcrt.dll", "malloc", (void*)+[](size_t) -> void* { return nullptr; });
        ImportPatch noCopy("msvcrt.dll", "_wcsdup", (void*)+[](const WCHAR*) -> WCHAR* { return nullptr; });
        ASSERT_TRUE(noMalloc.active() && noCopy.active());
        event.MofData = (PVOID)L"dropped";
        event.MofLength = sizeof(L"dropped");
        LiveEventCallback(&event);
        AddStatusLine(L"dropped too");
    }
    EXPECT_EQ(total, liveState.totalCount);
}

TEST_F(LiveCaptureTest, FailureLines)
{
    struct Case { EtwEmuFunction function; ULONG failure; const WCHAR* lines; };
    static const Case kCases[] = {
        {kEmuOpenTrace, ERROR_ACCESS_DENIED, L"* OpenTrace failed (0x00000005). The session could not be consumed.\n"},
        // No planned failure and no session: ProcessTrace finds none, 4201.
        {kEmuProcessTrace, 0,
         L"* Monitoring started.\n* ProcessTrace : the tracing session was not started.\n* Monitoring stopped.\n"},
        {kEmuProcessTrace, ERROR_ACCESS_DENIED,
         L"* Monitoring started.\n* ProcessTrace failed (0x00000005).\n* Monitoring stopped.\n"},
        {kEmuProcessTrace, 0x8007000E,
         L"* Monitoring started.\n* ProcessTrace failed (0x8007000E).\n* Monitoring stopped.\n"},
        {kEmuProcessTrace, ERROR_CANCELLED, L"* Monitoring started.\n* Monitoring stopped.\n"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "function " << c.function << ", failure " << c.failure);
        EtwEmuReset();
        ClearLineStore();
        if (c.failure != 0) {
            ASSERT_TRUE(StartTraceSession(FALSE, 5));
            EtwEmuFailCall(c.function, 1, c.failure);
        }
        RunConsumer();
        EXPECT_EQ(c.lines, Held());
    }
}

}  // namespace
