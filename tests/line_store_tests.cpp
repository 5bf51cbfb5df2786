#include <gtest/gtest.h>
#include <windows.h>
#include <malloc.h>
#include <stdlib.h>

#include <string>

#include "common/wide_format.h"
#include "live/line_store.h"
#include "test_support/heap_blocks.h"

namespace {

// Appends `format` with `n` as a fresh heap text, as producers pass it.
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
    EXPECT_STREQ(L"fill 1", liveState.slots[1].text);
}

TEST_F(LineStoreTest, ClearKeepsTheNumberingAndNullTextsAddNothing)
{
    size_t blocksEmpty = CrtHeapBlocks();
    for (ULONG64 n = 0; n < 120; ++n)
        Append((BYTE)(n % 3), 0, L"line %I64u", n);
    ClearLineStore();
    EXPECT_EQ(blocksEmpty, CrtHeapBlocks());
    EXPECT_EQ(0u, liveState.heldCount);
    EXPECT_EQ(0u, liveState.errorCount);
    EXPECT_EQ(120u, liveState.totalCount);
    EXPECT_EQ(0u, NonNullSlots());

    AppendLiveLine(nullptr, 1, 2, 2, 0, nullptr);
    EXPECT_EQ(120u, liveState.totalCount);
    Append(2, 0, L"after clear");
    EXPECT_EQ(1u, liveState.errorCount);
    EXPECT_EQ(1u, liveState.heldCount);
    EXPECT_STREQ(L"after clear", liveState.slots[120].text);
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

// Up to 511 units after formatting; a longer or empty one adds nothing.
TEST_F(LineStoreTest, StatusLines)
{
    std::wstring x511(511, L'x');
    struct Case { const WCHAR* format; const WCHAR* arg; std::wstring added; };
    const Case kCases[] = {
        {L"%s", x511.c_str(), x511},
        {L"%s!", x511.c_str() + 1, x511.substr(1) + L"!"},
        {L"%s!", x511.c_str(), L""},
        {L"%s", L"", L""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "format " << c.format << ", " << c.added.size() << " units");
        ClearLineStore();
        FILETIME before, after;
        GetSystemTimeAsFileTime(&before);
        AddStatusLine(c.format, c.arg);
        GetSystemTimeAsFileTime(&after);
        ASSERT_EQ(c.added.empty() ? 0u : 1u, liveState.heldCount);
        if (c.added.empty())
            continue;
        const LiveLine& line = liveState.slots[(liveState.totalCount - 1) % LIVE_SLOT_COUNT];
        EXPECT_EQ(c.added, line.text);
        EXPECT_EQ(GetCurrentProcessId(), line.processId);
        EXPECT_EQ(GetCurrentThreadId(), line.threadId);
        EXPECT_EQ(0, line.level);
        EXPECT_NE(0u, line.isStatus);
        EXPECT_LE(CompareFileTime(&before, &line.timestamp), 0);
        EXPECT_GE(CompareFileTime(&after, &line.timestamp), 0);
    }
}

// --- One producer at full speed against a reader checking the invariants ---

// Line n reads "E<n>", or "S<n>" as a status line when n % 13 is 0; its
// level is n % 7, so status lines of levels 1 and 2 exist too.
const ULONG64 kStressLines = 1200000;
const ULONG64 kHandshakeEvery = 100000;

struct Producer {
    volatile LONG checks;       // invariant checks the reader completed
    volatile LONG64 appended;
};

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

// Lets the producer pass its handshakes until it has appended `lines`, or
// to its end.
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
        ASSERT_TRUE(line.text != nullptr && (s == total - held || n > previous) &&
                    line.level == n % 7 && (line.isStatus != 0) == status &&
                    (line.text[0] == L'S') == status)
            << "sequence " << s << ": " << (line.text ? line.text : L"(null)") << ", level "
            << (int)line.level;
        previous = n;
        errors += !status && (line.level == 1 || line.level == 2);
    }
    ASSERT_EQ(errors, liveState.errorCount);
}

TEST_F(LineStoreTest, ConcurrentProducerKeepsTheInvariants)
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

TEST_F(LineStoreTest, DestructionWhileALateProducerAppends)
{
    size_t blocks = CrtHeapBlocks();
    Producer producer = {};
    HANDLE thread = CreateThread(nullptr, 0, ProducerThread, &producer, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    liveState.consumerThread = thread;      // the window's wait ran out
    PumpProducer(&producer, thread, 2 * LIVE_SLOT_COUNT);
    DestroyLineStore();
    EXPECT_TRUE(liveState.storeLockReady);
    PumpProducer(&producer, thread);        // over a million lines into no store
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(nullptr, liveState.slots);
    EXPECT_EQ(0u, liveState.totalCount);
    EXPECT_EQ(0u, liveState.heldCount);
    EXPECT_EQ(blocks - 1, CrtHeapBlocks()) << "every text, the late ones too, and the slots";
}

}  // namespace
