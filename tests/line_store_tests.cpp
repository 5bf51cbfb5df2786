#include <gtest/gtest.h>
#include <windows.h>
#include <malloc.h>
#include <stdlib.h>

#include <string>

#include "common/wide_format.h"
#include "live/line_store.h"

namespace {

// Busy blocks of the heap behind malloc: a text the store failed to free
// stays counted here.
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

// Appends the line `format` with `n`, a fresh heap text as producers pass.
void Append(BYTE level, DWORD isStatus, const WCHAR* format, ULONG64 n = 0)
{
    WCHAR text[64];
    FormatTruncating(text, 64, format, n);
    FILETIME time = {0x12345678, 0x01d00000};
    AppendLiveLine(&time, 1000, 2000, level, isStatus, _wcsdup(text));
}

void AppendFill(DWORD count)
{
    for (DWORD i = 0; i < count; ++i)
        Append(4, 0, L"fill %I64u", i);
}

// The held texts in sequence order, read as every reader does.
std::wstring HeldTexts()
{
    std::wstring joined;
    EnterCriticalSection(&liveState.storeLock);
    for (ULONG64 s = liveState.totalCount - liveState.heldCount; s < liveState.totalCount; ++s) {
        const WCHAR* text = liveState.slots[s % LIVE_SLOT_COUNT].text;
        joined += (text != nullptr ? text : L"<null>") + std::wstring(L"|");
    }
    LeaveCriticalSection(&liveState.storeLock);
    return joined;
}

DWORD NonNullSlots()
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

TEST_F(LineStoreTest, FullStoreDropsTheOldestLine)
{
    AppendFill(LIVE_SLOT_COUNT);
    size_t blocks = CrtHeapBlocks();
    Append(4, 0, L"newest");
    EXPECT_EQ(blocks, CrtHeapBlocks()) << "the text of sequence 0 was not freed";
    EXPECT_EQ(LIVE_SLOT_COUNT, liveState.heldCount);
    EXPECT_EQ(LIVE_SLOT_COUNT + 1ull, liveState.totalCount);
    EXPECT_STREQ(L"newest", liveState.slots[0].text);
    std::wstring held = HeldTexts();
    EXPECT_EQ(0u, held.find(L"fill 1|fill 2|"));
    EXPECT_EQ(held.size() - 19, held.rfind(L"|fill 49999|newest|"));
}

TEST_F(LineStoreTest, ErrorCountFollowsAppendsAndDrops)
{
    struct Case { BYTE level; DWORD isStatus; DWORD counted; };
    static const Case kCases[] = {
        {1, 0, 1}, {2, 0, 1},                               // critical, error
        {0, 0, 0}, {3, 0, 0}, {5, 0, 0}, {6, 0, 0}, {255, 0, 0},
        {1, 1, 0}, {2, 1, 0}, {0, 1, 0},                    // status lines
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "level " << (int)c.level << ", isStatus " << c.isStatus);
        DestroyLineStore();
        ASSERT_TRUE(CreateLineStore());
        Append(2, 0, L"error");
        Append(c.level, c.isStatus, L"case");
        EXPECT_EQ(1 + c.counted, liveState.errorCount) << "appended";
        AppendFill(LIVE_SLOT_COUNT - 1);
        EXPECT_EQ(c.counted, liveState.errorCount) << "error line dropped";
        AppendFill(1);
        EXPECT_EQ(0u, liveState.errorCount) << "case line dropped";
    }
}

TEST_F(LineStoreTest, ClearKeepsTheNumberingAndNullTextsAddNothing)
{
    size_t blocksEmpty = CrtHeapBlocks();
    for (ULONG64 n = 0; n < 120; ++n)
        Append((BYTE)(n % 3), 0, L"line %I64u", n);
    EXPECT_EQ(80u, liveState.errorCount);
    ClearLineStore();
    EXPECT_EQ(blocksEmpty, CrtHeapBlocks());
    EXPECT_EQ(0u, liveState.heldCount);
    EXPECT_EQ(0u, liveState.errorCount);
    EXPECT_EQ(120u, liveState.totalCount);
    EXPECT_EQ(0u, NonNullSlots());

    FILETIME time = {};
    AppendLiveLine(&time, 1, 2, 2, 0, nullptr);
    EXPECT_EQ(120u, liveState.totalCount);
    Append(2, 0, L"after clear");
    EXPECT_EQ(121u, liveState.totalCount);
    EXPECT_EQ(1u, liveState.errorCount);
    EXPECT_STREQ(L"after clear", liveState.slots[120].text);
    EXPECT_EQ(1u, NonNullSlots());
    EXPECT_EQ(L"after clear|", HeldTexts());
}

TEST_F(LineStoreTest, AppendAfterDestructionOnlyFreesTheText)
{
    AppendFill(10);
    // A consumer that outlived the window's wait keeps the lock alive.
    liveState.consumerThread = GetCurrentThread();
    size_t blocks = CrtHeapBlocks();
    DestroyLineStore();
    EXPECT_EQ(blocks - 11, CrtHeapBlocks()) << "10 texts and the slots";
    EXPECT_TRUE(liveState.storeLockReady);

    blocks = CrtHeapBlocks();
    Append(2, 0, L"late");
    AddStatusLine(L"late status");
    EXPECT_EQ(blocks, CrtHeapBlocks());
    EXPECT_EQ(nullptr, liveState.slots);
    EXPECT_EQ(0u, liveState.totalCount);
    EXPECT_EQ(0u, liveState.errorCount);

    // Once the lock is deleted too, appends and Clear must not enter it.
    liveState.consumerThread = nullptr;
    DestroyLineStore();
    EXPECT_FALSE(liveState.storeLockReady);
    Append(2, 0, L"later");
    AddStatusLine(L"later status");
    ClearLineStore();
    EXPECT_EQ(blocks, CrtHeapBlocks());
}

TEST_F(LineStoreTest, StatusLines)
{
    std::wstring x511(511, L'x'), y512(512, L'y');
    struct Case { const WCHAR* format; const WCHAR* arg; std::wstring added; };
    const Case kCases[] = {
        {L"%s", x511.c_str(), x511},
        {L"%s!", x511.c_str() + 1, x511.substr(1) + L"!"},
        {L"%s", y512.c_str(), L""},
        {L"%s!", x511.c_str(), L""},        // 512 units after formatting
        {L"%s", L"", L""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "format " << c.format << ", " << c.added.size() << " units");
        ClearLineStore();
        FILETIME before, after;
        GetSystemTimeAsFileTime(&before);
        AddStatusLine(c.format, c.arg);
        GetSystemTimeAsFileTime(&after);
        EXPECT_EQ(c.added.empty() ? L"" : c.added + L"|", HeldTexts());
        if (liveState.heldCount != 1)
            continue;
        const LiveLine& line = liveState.slots[(liveState.totalCount - 1) % LIVE_SLOT_COUNT];
        EXPECT_EQ(GetCurrentProcessId(), line.processId);
        EXPECT_EQ(GetCurrentThreadId(), line.threadId);
        EXPECT_EQ(0, line.level);
        EXPECT_NE(0u, line.isStatus);
        EXPECT_LE(CompareFileTime(&before, &line.timestamp), 0);
        EXPECT_GE(CompareFileTime(&after, &line.timestamp), 0);
    }
}

// --- One producer at full speed against a reader checking the invariants ---

// Line n reads "E<n>" or, when n % 13 is 0, "S<n>" as a status line; its
// level is n % 7, so status lines of levels 1 and 2 exist too.
const ULONG64 kStressLines = 1200000;
const ULONG64 kHandshakeEvery = 100000;

struct Producer {
    volatile LONG checks;       // invariant checks completed by the reader
    volatile LONG stop;         // ends an endless producer
    volatile LONG64 appended;
    ULONG64 count;              // lines to append; 0: until stopped
};

DWORD WINAPI ProducerThread(LPVOID param)
{
    Producer* p = (Producer*)param;
    for (ULONG64 n = 0; p->count != 0 ? n < p->count : !p->stop; ++n) {
        // Now and then wait for a fresh check, so that checks fall all
        // along the run whatever the scheduler does.
        if (p->count != 0 && n % kHandshakeEvery == 0 && n != 0) {
            LONG seen = p->checks;
            while (p->checks == seen)
                SwitchToThread();
        }
        Append((BYTE)(n % 7), n % 13 == 0, n % 13 == 0 ? L"S%I64u" : L"E%I64u", n);
        InterlockedExchange64(&p->appended, (LONG64)n + 1);
    }
    return 0;
}

// storeLock held. Returns what is wrong, or an empty text.
std::wstring CheckInvariants(ULONG64* lastTotal)
{
    WCHAR why[200] = L"";
    ULONG64 total = liveState.totalCount;
    DWORD held = liveState.heldCount, errors = 0;
    if (held > LIVE_SLOT_COUNT || held > total || total < *lastTotal) {
        FormatTruncating(why, 200, L"total %I64u after %I64u, held %u", total, *lastTotal, held);
        return why;
    }
    *lastTotal = total;
    if (NonNullSlots() != held) {
        FormatTruncating(why, 200, L"%u texts for %u held lines", NonNullSlots(), held);
        return why;
    }
    ULONG64 previous = 0;
    for (ULONG64 s = total - held; s < total; ++s) {
        const LiveLine& line = liveState.slots[s % LIVE_SLOT_COUNT];
        ULONG64 n = line.text != nullptr ? _wcstoui64(line.text + 1, nullptr, 10) : 0;
        bool status = n % 13 == 0;
        if (line.text == nullptr || (s != total - held && n <= previous) || line.level != n % 7 ||
            (line.isStatus != 0) != status || (line.text[0] == L'S') != status) {
            FormatTruncating(why, 200, L"sequence %I64u: \"%s\" level %u status %u", s,
                             line.text != nullptr ? line.text : L"(null)", line.level, line.isStatus);
            return why;
        }
        previous = n;
        errors += !status && (line.level == 1 || line.level == 2);
    }
    if (errors != liveState.errorCount)
        FormatTruncating(why, 200, L"errorCount %u, recount %u", liveState.errorCount, errors);
    return why;
}

TEST_F(LineStoreTest, ConcurrentProducerKeepsTheInvariants)
{
    Producer producer = {};
    producer.count = kStressLines;
    HANDLE thread = CreateThread(nullptr, 0, ProducerThread, &producer, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    ULONG64 lastTotal = 0;
    std::wstring failure;
    BOOL finished = FALSE;
    while (failure.empty() && !finished) {
        finished = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
        EnterCriticalSection(&liveState.storeLock);
        failure = CheckInvariants(&lastTotal);
        LeaveCriticalSection(&liveState.storeLock);
        InterlockedIncrement(&producer.checks);
    }
    // After a failure the producer may still wait for checks.
    while (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) {
        InterlockedIncrement(&producer.checks);
        SwitchToThread();
    }
    CloseHandle(thread);
    EXPECT_EQ(L"", failure);
    EXPECT_GE(producer.checks, (LONG)(kStressLines / kHandshakeEvery));
    EXPECT_EQ(kStressLines, liveState.totalCount);
}

TEST_F(LineStoreTest, DestructionWhileALateProducerAppends)
{
    size_t blocks = CrtHeapBlocks();
    Producer producer = {};
    HANDLE thread = CreateThread(nullptr, 0, ProducerThread, &producer, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    liveState.consumerThread = thread;      // the window's wait ran out
    while (producer.appended < 2 * (LONG64)LIVE_SLOT_COUNT)
        SwitchToThread();
    DestroyLineStore();
    EXPECT_TRUE(liveState.storeLockReady);
    LONG64 atDestruction = producer.appended;
    while (producer.appended < atDestruction + 10000)
        SwitchToThread();
    InterlockedExchange(&producer.stop, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);

    EXPECT_EQ(nullptr, liveState.slots);
    EXPECT_EQ(0u, liveState.totalCount);
    EXPECT_EQ(0u, liveState.heldCount);
    EXPECT_EQ(0u, liveState.errorCount);
    EXPECT_EQ(blocks - 1, CrtHeapBlocks()) << "every text, the late ones too, and the slots";
}

}  // namespace
