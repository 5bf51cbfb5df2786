#include <gtest/gtest.h>
#include <windows.h>
#include <malloc.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>

#include "common/wide_format.h"
#include "live/line_store.h"

namespace {

// Busy blocks of the heap behind malloc: a text that the store should have
// freed and did not stays counted here.
size_t CrtHeapBlocks()
{
    HANDLE heap = (HANDLE)_get_heap_handle();
    size_t blocks = 0;
    HeapLock(heap);
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
            ++blocks;
    }
    HeapUnlock(heap);
    return blocks;
}

WCHAR* NumberedText(const WCHAR* format, ULONG64 n)
{
    WCHAR buffer[64];
    FormatTruncating(buffer, 64, format, n);
    return _wcsdup(buffer);
}

void Append(BYTE level, DWORD isStatus, WCHAR* text)
{
    FILETIME time = {0x12345678, 0x01d00000};
    AppendLiveLine(&time, 1000, 2000, level, isStatus, text);
}

// Appends `count` information lines "fill <n>".
void AppendFill(DWORD count)
{
    for (DWORD i = 0; i < count; ++i)
        Append(4, 0, NumberedText(L"fill %I64u", i));
}

// The held lines in sequence order, read as the reading contract says.
std::wstring HeldTextsJoined()
{
    std::wstring joined;
    EnterCriticalSection(&liveState.storeLock);
    for (ULONG64 s = liveState.totalCount - liveState.heldCount;
         s < liveState.totalCount; ++s) {
        const WCHAR* text = liveState.slots[s % LIVE_SLOT_COUNT].text;
        joined += text != nullptr ? text : L"<null>";
        joined += L'|';
    }
    LeaveCriticalSection(&liveState.storeLock);
    return joined;
}

DWORD CountNonNullSlots()
{
    DWORD count = 0;
    for (DWORD i = 0; i < LIVE_SLOT_COUNT; ++i)
        count += liveState.slots[i].text != nullptr;
    return count;
}

class LineStoreTest : public testing::Test {
protected:
    void SetUp() override
    {
        liveState.consumerThread = nullptr;
        DestroyLineStore();
        SetLastError(0xdeadbeef);
        ASSERT_TRUE(CreateLineStore());
        EXPECT_EQ(0u, GetLastError());
    }
    void TearDown() override
    {
        liveState.consumerThread = nullptr;
        DestroyLineStore();
        EXPECT_FALSE(liveState.storeLockReady);
    }
};

TEST_F(LineStoreTest, FiftyThousandAndFirstLineDropsTheOldest)
{
    AppendFill(LIVE_SLOT_COUNT);
    EXPECT_EQ(LIVE_SLOT_COUNT, liveState.heldCount);
    EXPECT_STREQ(L"fill 0", liveState.slots[0].text);

    size_t blocksBefore = CrtHeapBlocks();
    WCHAR* newest = _wcsdup(L"newest");
    Append(4, 0, newest);
    // One block in, the text of sequence 0 out.
    EXPECT_EQ(blocksBefore, CrtHeapBlocks());
    EXPECT_EQ(LIVE_SLOT_COUNT, liveState.heldCount);
    EXPECT_EQ(LIVE_SLOT_COUNT + 1ull, liveState.totalCount);
    EXPECT_EQ(newest, liveState.slots[0].text);
    EXPECT_STREQ(L"fill 1", liveState.slots[1].text);

    std::wstring held = HeldTextsJoined();
    const std::wstring tail = L"|fill 49999|newest|";
    EXPECT_EQ(0u, held.find(L"fill 1|fill 2|"));
    EXPECT_EQ(held.size() - tail.size(), held.rfind(tail));
}

TEST_F(LineStoreTest, ErrorCountFollowsAppendedAndDroppedLines)
{
    struct Case { BYTE level; DWORD isStatus; DWORD counted; };
    static const Case kCases[] = {
        {1, 0, 1}, {2, 0, 1},                   // critical and error events
        {0, 0, 0}, {3, 0, 0}, {5, 0, 0},        // other levels
        {6, 0, 0}, {255, 0, 0},                 // unknown levels
        {1, 1, 0}, {2, 1, 0}, {0, 1, 0},        // status lines never count
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "level " << (int)c.level
                                        << ", isStatus " << c.isStatus);
        DestroyLineStore();
        ASSERT_TRUE(CreateLineStore());

        Append(2, 0, _wcsdup(L"error before"));
        Append(c.level, c.isStatus, _wcsdup(L"case line"));
        EXPECT_EQ(1 + c.counted, liveState.errorCount) << "after append";

        // Push both out: the error line first, then the case line.
        AppendFill(LIVE_SLOT_COUNT - 2);
        EXPECT_EQ(1 + c.counted, liveState.errorCount) << "store just full";
        AppendFill(1);
        EXPECT_EQ(c.counted, liveState.errorCount) << "error line dropped";
        AppendFill(1);
        EXPECT_EQ(0u, liveState.errorCount) << "case line dropped";
        EXPECT_EQ(LIVE_SLOT_COUNT, liveState.heldCount);
    }
}

TEST_F(LineStoreTest, ClearFreesEverythingAndKeepsTheNumbering)
{
    size_t blocksEmpty = CrtHeapBlocks();
    for (ULONG64 n = 0; n < 120; ++n)
        Append((BYTE)(n % 3), 0, NumberedText(L"line %I64u", n));
    EXPECT_EQ(80u, liveState.errorCount);

    ClearLineStore();
    EXPECT_EQ(blocksEmpty, CrtHeapBlocks());
    EXPECT_EQ(0u, liveState.heldCount);
    EXPECT_EQ(0u, liveState.errorCount);
    EXPECT_EQ(120u, liveState.totalCount);
    EXPECT_EQ(0u, CountNonNullSlots());
    EXPECT_EQ(L"", HeldTextsJoined());

    WCHAR* next = _wcsdup(L"after clear");
    Append(2, 0, next);
    EXPECT_EQ(121u, liveState.totalCount);
    EXPECT_EQ(1u, liveState.heldCount);
    EXPECT_EQ(1u, liveState.errorCount);
    EXPECT_EQ(next, liveState.slots[120].text);
    EXPECT_EQ(1u, CountNonNullSlots());
    EXPECT_EQ(L"after clear|", HeldTextsJoined());
}

DWORD WINAPI HoldLockThread(LPVOID events)
{
    HANDLE* pair = (HANDLE*)events;
    EnterCriticalSection(&liveState.storeLock);
    SetEvent(pair[0]);
    WaitForSingleObject(pair[1], INFINITE);
    LeaveCriticalSection(&liveState.storeLock);
    return 0;
}

DWORD WINAPI AppendNullThread(LPVOID)
{
    Append(2, 0, nullptr);
    return 0;
}

TEST_F(LineStoreTest, NullTextChangesNothingAndTakesNoLock)
{
    Append(2, 0, _wcsdup(L"kept"));

    // Another thread holds the lock: a null append must still return.
    HANDLE events[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr),
                        CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HANDLE holder = CreateThread(nullptr, 0, HoldLockThread, events, 0, nullptr);
    ASSERT_NE(nullptr, holder);
    WaitForSingleObject(events[0], INFINITE);
    HANDLE appender = CreateThread(nullptr, 0, AppendNullThread, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, appender);
    // A hang guard only: a lock-taking append would never finish.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(appender, 30000));
    SetEvent(events[1]);
    WaitForSingleObject(holder, INFINITE);
    WaitForSingleObject(appender, INFINITE);
    CloseHandle(appender);
    CloseHandle(holder);
    CloseHandle(events[0]);
    CloseHandle(events[1]);

    EXPECT_EQ(1u, liveState.totalCount);
    EXPECT_EQ(1u, liveState.heldCount);
    EXPECT_EQ(1u, liveState.errorCount);
    EXPECT_EQ(L"kept|", HeldTextsJoined());
}

TEST_F(LineStoreTest, AppendAfterDestructionOnlyFreesTheText)
{
    AppendFill(10);
    // A consumer that outlived the window: the lock must stay usable.
    liveState.consumerThread = GetCurrentThread();
    size_t blocksWithStore = CrtHeapBlocks();
    DestroyLineStore();
    EXPECT_EQ(blocksWithStore - 11, CrtHeapBlocks()) << "10 texts and the slots";
    EXPECT_TRUE(liveState.storeLockReady);
    EXPECT_EQ(nullptr, liveState.slots);

    size_t blocksWithout = CrtHeapBlocks();
    Append(2, 0, _wcsdup(L"late"));
    AddStatusLine(L"late status %d", 1);
    EXPECT_EQ(blocksWithout, CrtHeapBlocks());
    EXPECT_EQ(0u, liveState.totalCount);
    EXPECT_EQ(0u, liveState.heldCount);
    EXPECT_EQ(0u, liveState.errorCount);
    EXPECT_EQ(nullptr, liveState.slots);

    // No consumer recorded any more: the lock goes, appends still only free.
    liveState.consumerThread = nullptr;
    DestroyLineStore();
    EXPECT_FALSE(liveState.storeLockReady);
    Append(2, 0, _wcsdup(L"later"));
    AddStatusLine(L"later status");
    ClearLineStore();
    EXPECT_EQ(blocksWithout, CrtHeapBlocks());
    EXPECT_EQ(nullptr, liveState.slots);
}

TEST_F(LineStoreTest, StatusLineLengthLimit)
{
    std::wstring units511(511, L'x');
    std::wstring units512(512, L'y');
    struct Case { const WCHAR* what; const WCHAR* format; const WCHAR* arg; BOOL added; };
    const Case kCases[] = {
        {L"511 units", L"%s", units511.c_str(), TRUE},
        {L"510 + 1 units", L"%s!", units511.c_str() + 1, TRUE},
        {L"512 units", L"%s", units512.c_str(), FALSE},
        {L"511 + 1 units", L"%s!", units511.c_str(), FALSE},
        {L"empty", L"%s", L"", FALSE},
        {L"empty format", L"", L"", FALSE},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.what);
        ClearLineStore();
        ULONG64 totalBefore = liveState.totalCount;
        AddStatusLine(c.format, c.arg);
        EXPECT_EQ(totalBefore + (c.added ? 1 : 0), liveState.totalCount);
        EXPECT_EQ(c.added ? 1u : 0u, liveState.heldCount);
        EXPECT_EQ(0u, liveState.errorCount);
        if (c.added) {
            std::wstring expected = c.arg;
            if (c.format[2] == L'!')
                expected += L'!';
            EXPECT_EQ(expected + L"|", HeldTextsJoined());
        }
    }
}

struct StatusFromThread {
    DWORD threadId;
};

DWORD WINAPI AddStatusThread(LPVOID param)
{
    ((StatusFromThread*)param)->threadId = GetCurrentThreadId();
    AddStatusLine(L"ProcessTrace failed (0x%08X).", 0x80070005u);
    return 0;
}

TEST_F(LineStoreTest, StatusLineCarriesTimeProcessAndThread)
{
    FILETIME before, after;
    GetSystemTimeAsFileTime(&before);
    StatusFromThread from = {};
    HANDLE thread = CreateThread(nullptr, 0, AddStatusThread, &from, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    GetSystemTimeAsFileTime(&after);

    ASSERT_EQ(1u, liveState.heldCount);
    const LiveLine& line = liveState.slots[0];
    EXPECT_STREQ(L"ProcessTrace failed (0x80070005).", line.text);
    EXPECT_EQ(GetCurrentProcessId(), line.processId);
    EXPECT_EQ(from.threadId, line.threadId);
    EXPECT_NE(GetCurrentThreadId(), line.threadId);
    EXPECT_EQ(0, line.level);
    EXPECT_NE(0u, line.isStatus);
    EXPECT_LE(CompareFileTime(&before, &line.timestamp), 0);
    EXPECT_GE(CompareFileTime(&after, &line.timestamp), 0);
}

// --- Concurrency ------------------------------------------------------------

// Stress lines encode what the checker expects of them: "E<n>" or "S<n>",
// level n % 7, a status line when n % 13 is 0.
const ULONG64 kStressLines = 1200000;
const ULONG64 kHandshakeEvery = 100000;

struct StressShared {
    volatile LONG checks;       // completed invariant checks
    volatile LONG stop;         // asks an endless producer to stop
    volatile LONG64 appended;   // lines handed to AppendLiveLine so far
};

void AppendStressLine(ULONG64 n)
{
    DWORD isStatus = n % 13 == 0;
    Append((BYTE)(n % 7), isStatus, NumberedText(isStatus ? L"S%I64u" : L"E%I64u", n));
}

DWORD WINAPI StressProducer(LPVOID param)
{
    StressShared* shared = (StressShared*)param;
    for (ULONG64 n = 0; n < kStressLines; ++n) {
        // Wait for a fresh check now and then, so that checks are spread
        // over the whole run whatever the scheduler does.
        if (n % kHandshakeEvery == 0 && n != 0) {
            LONG seen = shared->checks;
            while (shared->checks == seen)
                SwitchToThread();
        }
        AppendStressLine(n);
        InterlockedExchange64(&shared->appended, (LONG64)n + 1);
    }
    return 0;
}

DWORD WINAPI EndlessProducer(LPVOID param)
{
    StressShared* shared = (StressShared*)param;
    for (ULONG64 n = 0; !shared->stop; ++n) {
        AppendStressLine(n);
        InterlockedExchange64(&shared->appended, (LONG64)n + 1);
    }
    return 0;
}

// Checks the store's invariants; storeLock held. Empty result when they hold.
std::wstring CheckInvariants(ULONG64* lastTotal)
{
    WCHAR why[200];
    ULONG64 total = liveState.totalCount;
    DWORD held = liveState.heldCount;
    if (held > LIVE_SLOT_COUNT || held > total || total < *lastTotal) {
        FormatTruncating(why, 200, L"counters: total %I64u (before %I64u), held %u",
                         total, *lastTotal, held);
        return why;
    }
    *lastTotal = total;
    DWORD nonNull = CountNonNullSlots();
    if (nonNull != held) {
        FormatTruncating(why, 200, L"%u texts for %u held lines", nonNull, held);
        return why;
    }
    DWORD errors = 0;
    ULONG64 previous = 0;
    for (ULONG64 s = total - held; s < total; ++s) {
        const LiveLine& line = liveState.slots[s % LIVE_SLOT_COUNT];
        if (line.text == nullptr) {
            FormatTruncating(why, 200, L"sequence %I64u has no text", s);
            return why;
        }
        ULONG64 n = _wcstoui64(line.text + 1, nullptr, 10);
        BOOL status = line.text[0] == L'S';
        if ((s > total - held && n <= previous) || line.level != n % 7 ||
            (line.isStatus != 0) != status || status != (n % 13 == 0)) {
            FormatTruncating(why, 200, L"sequence %I64u holds %s level %u status %u",
                             s, line.text, line.level, line.isStatus);
            return why;
        }
        previous = n;
        errors += !status && (line.level == 1 || line.level == 2);
    }
    if (errors != liveState.errorCount) {
        FormatTruncating(why, 200, L"errorCount %u, recount %u", liveState.errorCount,
                         errors);
        return why;
    }
    return std::wstring();
}

TEST_F(LineStoreTest, ConcurrentProducerKeepsInvariants)
{
    StressShared shared = {};
    HANDLE producer = CreateThread(nullptr, 0, StressProducer, &shared, 0, nullptr);
    ASSERT_NE(nullptr, producer);

    ULONG64 lastTotal = 0;
    std::wstring failure;
    for (;;) {
        BOOL finished = WaitForSingleObject(producer, 0) == WAIT_OBJECT_0;
        EnterCriticalSection(&liveState.storeLock);
        failure = CheckInvariants(&lastTotal);
        LeaveCriticalSection(&liveState.storeLock);
        InterlockedIncrement(&shared.checks);
        if (!failure.empty() || finished)
            break;
    }
    // On a failure the producer may wait for checks; keep them coming.
    while (WaitForSingleObject(producer, 0) != WAIT_OBJECT_0) {
        InterlockedIncrement(&shared.checks);
        SwitchToThread();
    }
    CloseHandle(producer);

    EXPECT_EQ(L"", failure);
    EXPECT_GE(shared.checks, (LONG)(kStressLines / kHandshakeEvery));
    EXPECT_EQ(kStressLines, liveState.totalCount);
    EXPECT_EQ(LIVE_SLOT_COUNT, liveState.heldCount);
}

TEST_F(LineStoreTest, DestructionWhileALateProducerAppends)
{
    size_t blocksBefore = CrtHeapBlocks();
    StressShared shared = {};
    HANDLE producer = CreateThread(nullptr, 0, EndlessProducer, &shared, 0, nullptr);
    ASSERT_NE(nullptr, producer);
    // The window gave up waiting: the thread is still recorded.
    liveState.consumerThread = producer;

    while (shared.appended < 2 * (LONG64)LIVE_SLOT_COUNT)
        SwitchToThread();
    DestroyLineStore();
    EXPECT_TRUE(liveState.storeLockReady);
    EXPECT_EQ(nullptr, liveState.slots);
    LONG64 atDestruction = shared.appended;
    while (shared.appended < atDestruction + 10000)
        SwitchToThread();
    InterlockedExchange(&shared.stop, 1);
    WaitForSingleObject(producer, INFINITE);

    EXPECT_EQ(0u, liveState.totalCount);
    EXPECT_EQ(0u, liveState.heldCount);
    EXPECT_EQ(0u, liveState.errorCount);
    // Every text freed, the late ones included, and the slots themselves.
    EXPECT_EQ(blocksBefore - 1, CrtHeapBlocks());

    liveState.consumerThread = nullptr;
    CloseHandle(producer);
}

}  // namespace
