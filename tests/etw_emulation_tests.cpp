// The ETW emulation that the other tests and the demo run on: sessions, call
// record, planned failures, ProcessTrace's ends, delivery and the queue bound.
#include <gtest/gtest.h>
#include <windows.h>
#include <evntrace.h>
#include <evntcons.h>
#include <string.h>

#include <vector>

#include "etw_emulation/etw_emulation.h"
#include "etw_emulation/synthetic_traffic.h"
#include "tracing/trace_session.h"

namespace {

const WCHAR kSessionA[] = L"EmuTestSessionA";
const WCHAR kSessionB[] = L"EmuTestSessionB";
const GUID& kProviderX = providerTable[0];
const GUID& kProviderY = providerTable[1];
const GUID kEventTraceGuidValue = {0x68fdd900, 0x4a3e, 0x11d1, {0x84, 0xf4, 0x00, 0x00, 0xf8, 0x04, 0x64, 0xe3}};

union Block { EVENT_TRACE_PROPERTIES properties; BYTE bytes[ETW_EMU_PROPERTIES_BYTES]; };

// A real-time block laid out as the program lays out its own.
void FillBlock(Block* block)
{
    memset(block, 0, sizeof(*block));
    block->properties.Wnode.BufferSize = sizeof(*block);
    block->properties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    block->properties.LoggerNameOffset = 2168;
    block->properties.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
}

ULONG Start(LPCWSTR name, TRACEHANDLE* handle)
{
    Block block;
    FillBlock(&block);
    return EtwStartTrace(handle, name, &block.properties);
}

ULONG Stop(LPCWSTR name)
{
    Block block;
    FillBlock(&block);
    return EtwControlTrace(0, name, &block.properties, EVENT_TRACE_CONTROL_STOP);
}

ULONG Log(const GUID* provider, UCHAR level, ULONG pid, const void* payload = nullptr, ULONG bytes = 0)
{
    return EtwEmuLogEvent(provider, level, pid, 1, 1000, payload, bytes);
}

// What the callback saw; written on the consumer thread, read once
// EtwEmuWaitDelivered or the thread's end ordered the writes.
struct SeenEvent { EVENT_TRACE_HEADER header; std::vector<BYTE> payload; };
std::vector<SeenEvent> seen;
HANDLE headerSeen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
// The callback holds at an event of process kGatePid until `gate` is set,
// so that events queue behind one that is inside the callback.
const ULONG kGatePid = 0x7fff6a7e;
HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
HANDLE atGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);

void WINAPI RecordEvent(PEVENT_TRACE event)
{
    if (event->Header.ProcessId == kGatePid) {
        SetEvent(atGate);
        WaitForSingleObject(gate, 30000);
    }
    const BYTE* mof = static_cast<const BYTE*>(event->MofData);
    seen.push_back(SeenEvent{event->Header, std::vector<BYTE>(mof, mof + event->MofLength)});
    if (IsEqualGUID(event->Header.Guid, kEventTraceGuidValue))
        SetEvent(headerSeen);
}

TRACEHANDLE Open(LPCWSTR name)
{
    EVENT_TRACE_LOGFILEW logFile = {};
    logFile.LoggerName = const_cast<LPWSTR>(name);
    logFile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
    logFile.EventCallback = RecordEvent;
    return EtwOpenTrace(&logFile);
}

struct Consumer { TRACEHANDLE handle; HANDLE thread; ULONG status; };

// Returns once the header event arrived, so the consumer is attached.
void StartConsumer(Consumer* consumer, LPCWSTR name)
{
    consumer->handle = Open(name);
    ASSERT_NE(INVALID_PROCESSTRACE_HANDLE, consumer->handle);
    consumer->thread = CreateThread(nullptr, 0, [](LPVOID parameter) -> DWORD {
        Consumer* self = static_cast<Consumer*>(parameter);
        self->status = EtwProcessTrace(&self->handle, 1, nullptr, nullptr);
        return 0;
    }, consumer, 0, nullptr);
    ASSERT_NE(nullptr, consumer->thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(headerSeen, 30000));
}

ULONG FinishConsumer(Consumer* consumer)
{
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(consumer->thread, 30000));
    CloseHandle(consumer->thread);
    return consumer->status;
}

class EtwEmulationTests : public testing::Test {
protected:
    void SetUp() override { Reset(); }
    void Reset()
    {
        EtwEmuReset();
        seen.clear();
        ResetEvent(headerSeen);
        ResetEvent(gate);
        ResetEvent(atGate);
    }
    void TearDown() override
    {
        SetEvent(gate);
        EtwEmuReset();
    }
};

TEST_F(EtwEmulationTests, SessionsByNameAndTheBlockAsReceived)
{
    Block block, sent;
    FillBlock(&block);
    block.properties.FlushTimer = 1;
    sent = block;
    TRACEHANDLE handle = 0xdeadbeef, again = 0xdeadbeef;
    ASSERT_EQ(0u, EtwStartTrace(&handle, kSessionA, &block.properties));
    EXPECT_NE(0u, handle);
    // Recorded as it came, before StartTrace wrote the name and the handle.
    EXPECT_NE(0, memcmp(sent.bytes, block.bytes, sizeof(sent)));
    EtwEmuCall call;
    ASSERT_TRUE(EtwEmuGetCall(0, &call));
    EXPECT_EQ(handle, call.handle);
    ASSERT_EQ(sizeof(sent), call.propertiesSize);
    EXPECT_EQ(0, memcmp(sent.bytes, call.properties, sizeof(sent)));

    EXPECT_TRUE(EtwEmuSessionRunning(L"EMUTESTSESSIONA"));
    EXPECT_EQ(183u, Start(L"emutestsessiona", &again));
    // A stop goes by name; the handle passed is ignored.
    EXPECT_EQ(0u, EtwControlTrace(12345, L"emuTestSessionA", &block.properties, EVENT_TRACE_CONTROL_STOP));
    EXPECT_FALSE(EtwEmuSessionRunning(kSessionA));
    EXPECT_EQ(4201u, Stop(kSessionA));
    EXPECT_EQ(0u, Start(kSessionA, &again));
}

TEST_F(EtwEmulationTests, PlannedFailureHasNoOtherEffect)
{
    EtwEmuFailCall(kEmuEnableTrace, 2, ERROR_ACCESS_DENIED);
    EtwEmuFailCall(kEmuOpenTrace, 1, ERROR_ACCESS_DENIED);
    TRACEHANDLE handle = 0;
    ASSERT_EQ(0u, Start(kSessionA, &handle));
    EXPECT_EQ(0u, EtwEnableTrace(1, 0, 5, &kProviderX, handle));
    EXPECT_EQ(5u, EtwEnableTrace(1, 0, 5, &kProviderY, handle));
    EXPECT_EQ(1u, EtwEmuEnabledProviders(kSessionA, nullptr, 0));
    EXPECT_EQ(0u, EtwEnableTrace(1, 0, 5, &kProviderY, handle));
    EXPECT_EQ(2u, EtwEmuEnabledProviders(kSessionA, nullptr, 0));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_PROCESSTRACE_HANDLE, Open(kSessionA));
    EXPECT_EQ(5u, GetLastError());
}

TEST_F(EtwEmulationTests, LevelFilterAndOneSessionPerProvider)
{
    TRACEHANDLE a = 0, b = 0;
    ASSERT_EQ(0u, Start(kSessionA, &a));
    ASSERT_EQ(0u, Start(kSessionB, &b));
    ASSERT_EQ(0u, EtwEnableTrace(1, 7, 3, &kProviderX, a));
    for (UCHAR level = 0; level <= 5; level++)
        EXPECT_EQ(level <= 3 ? 1u : 0u, Log(&kProviderX, level, level)) << "level " << int(level);
    EXPECT_EQ(0u, Log(&kProviderY, 1, 0));

    // Enabling X on B takes it from A; once B stops, X feeds nobody.
    ASSERT_EQ(0u, EtwEnableTrace(1, 1, 5, &kProviderX, b));
    EXPECT_EQ(0u, EtwEmuEnabledProviders(kSessionA, nullptr, 0));
    EXPECT_EQ(1u, EtwEmuEnabledProviders(kSessionB, nullptr, 0));
    EXPECT_EQ(1u, Log(&kProviderX, 5, 0));
    ASSERT_EQ(0u, Stop(kSessionB));
    EXPECT_EQ(0u, Log(&kProviderX, 1, 0));
}

// A stop from another thread ends ProcessTrace with 0, a close with 1223;
// what was queued before either is still delivered.
TEST_F(EtwEmulationTests, ProcessTraceEnds)
{
    for (BOOL close : {FALSE, TRUE}) {
        SCOPED_TRACE(close ? "closed" : "stopped");
        Reset();
        TRACEHANDLE session = 0;
        ASSERT_EQ(0u, Start(kSessionA, &session));
        ASSERT_EQ(0u, EtwEnableTrace(1, 0, 5, &kProviderX, session));
        Consumer consumer;
        ASSERT_NO_FATAL_FAILURE(StartConsumer(&consumer, kSessionA));
        ASSERT_EQ(1u, Log(&kProviderX, 1, kGatePid));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(atGate, 30000));
        // Nothing is queued, but a callback has not returned yet.
        EXPECT_FALSE(EtwEmuWaitDelivered(kSessionA, 0));
        for (ULONG i = 0; i < 10; i++)
            ASSERT_EQ(1u, Log(&kProviderX, 4, i));
        if (close)
            EXPECT_EQ(7007u, EtwCloseTrace(consumer.handle));
        else
            EXPECT_EQ(0u, Stop(kSessionA));
        SetEvent(gate);
        EXPECT_EQ(close ? 1223u : 0u, FinishConsumer(&consumer));
        ASSERT_EQ(12u, seen.size());
        for (ULONG i = 0; i < 10; i++)
            EXPECT_EQ(i, seen[2 + i].header.ProcessId);
        // A close during ProcessTrace released the handle.
        EXPECT_EQ(close ? 6u : 0u, EtwCloseTrace(consumer.handle));
    }
    TRACEHANDLE handle = Open(L"EmuTestMissing");
    EXPECT_EQ(4201u, EtwProcessTrace(&handle, 1, nullptr, nullptr));
    EXPECT_EQ(0u, EtwCloseTrace(handle));
}

// The synthetic traffic at full speed on its own thread: the consumer gets
// the header event, then exactly the events of the enabled levels in order.
TEST_F(EtwEmulationTests, DeliversExactlyInOrderUnderConcurrentProducer)
{
    TRACEHANDLE session = 0;
    ASSERT_EQ(0u, Start(kSessionA, &session));
    for (const GUID& provider : providerTable)
        ASSERT_EQ(0u, EtwEnableTrace(1, 0xFFFFFFFF, 4, &provider, session));
    Consumer consumer;
    ASSERT_NO_FATAL_FAILURE(StartConsumer(&consumer, kSessionA));
    ASSERT_TRUE(StartSyntheticTraffic(0));
    for (int spins = 0; spins < 100000 && SyntheticEventsLogged() < 50000; spins++)
        Sleep(1);
    StopSyntheticTraffic();
    // Exact: every callback has returned, not merely been entered.
    ASSERT_TRUE(EtwEmuWaitDelivered(kSessionA, 60000));
    EXPECT_EQ(0u, EtwEmuEventsLost(kSessionA));
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(IsEqualGUID(kEventTraceGuidValue, seen[0].header.Guid));

    size_t at = 1;
    for (ULONG64 i = 0; i < SyntheticEventsLogged(); i++) {
        SyntheticEvent expected;
        DescribeSyntheticEvent(i, &expected);
        if (expected.level > 4)
            continue;
        ASSERT_LT(at, seen.size()) << "event " << i << " missing";
        const SeenEvent& event = seen[at++];
        ULONG bytes = (expected.textLength + 1) * sizeof(WCHAR);
        ASSERT_TRUE(IsEqualGUID(providerTable[expected.providerIndex], event.header.Guid) &&
                    event.header.Class.Level == expected.level &&
                    event.header.ProcessId == expected.processId &&
                    event.header.ThreadId == expected.threadId && event.payload.size() == bytes &&
                    memcmp(event.payload.data(), expected.text, bytes) == 0)
            << "event " << i << " arrived as " << at - 1;
    }
    EXPECT_EQ(at, seen.size());
    ASSERT_EQ(0u, Stop(kSessionA));
    EXPECT_EQ(0u, FinishConsumer(&consumer));
    EtwCloseTrace(consumer.handle);
}

TEST_F(EtwEmulationTests, FullQueueDropsAndCountsEvents)
{
    TRACEHANDLE session = 0;
    ASSERT_EQ(0u, Start(kSessionA, &session));
    ASSERT_EQ(0u, EtwEnableTrace(1, 0, 5, &kProviderX, session));
    // Nobody listens: the session keeps events for a consumer, up to the bound.
    ULONG taken = 0;
    for (ULONG i = 0; i < ETW_EMU_QUEUE_EVENTS + 3; i++)
        taken += Log(&kProviderX, 4, i);
    EXPECT_EQ(ETW_EMU_QUEUE_EVENTS, taken);
    EXPECT_EQ(3u, EtwEmuEventsLost(kSessionA));
    ASSERT_EQ(0u, Stop(kSessionA));

    // The byte bound: 64 payloads of 1 MB fill it.
    ASSERT_EQ(0u, Start(kSessionB, &session));
    ASSERT_EQ(0u, EtwEnableTrace(1, 0, 5, &kProviderX, session));
    std::vector<BYTE> big(ETW_EMU_QUEUE_BYTES / 64, 0x5A);
    for (ULONG i = 0; i <= 64; i++)
        EXPECT_EQ(i < 64 ? 1u : 0u, Log(&kProviderX, 4, i, big.data(), (ULONG)big.size())) << i;
    EXPECT_EQ(1u, EtwEmuEventsLost(kSessionB));
}

}  // namespace
