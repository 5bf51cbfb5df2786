// The ETW emulation that the other tests and the demo run on: session control
// by name, the call record, planned failures, level filtering, ProcessTrace's
// ends, delivery order under a concurrent producer, the queue bound, and the
// synthetic traffic.
#include <gtest/gtest.h>
#include <windows.h>
#include <evntrace.h>
#include <evntcons.h>
#include <string.h>
#include <wchar.h>

#include <vector>

#include "etw_emulation/etw_emulation.h"
#include "etw_emulation/synthetic_traffic.h"
#include "tracing/trace_session.h"

namespace {

const WCHAR kSessionA[] = L"EmuTestSessionA";
const WCHAR kSessionB[] = L"EmuTestSessionB";
const GUID kSessionGuid = {0x1d9e0c51, 0x7a2b, 0x4c3d, {0x8e, 0x4f, 0x50, 0x61, 0x72, 0x83, 0x94, 0xa5}};
const GUID kProviderX = {0x2e0f1d62, 0x8b3c, 0x4d4e, {0x9f, 0x50, 0x61, 0x72, 0x83, 0x94, 0xa5, 0xb6}};
const GUID kProviderY = {0x3f102e73, 0x9c4d, 0x4e5f, {0xa0, 0x61, 0x72, 0x83, 0x94, 0xa5, 0xb6, 0xc7}};
const GUID kEventTraceGuidValue = {0x68fdd900, 0x4a3e, 0x11d1, {0x84, 0xf4, 0x00, 0x00, 0xf8, 0x04, 0x64, 0xe3}};
const ULONG kNameOffset = 2168;
const ULONG kFileOffset = 120;
const TRACEHANDLE kHandleSentinel = 0xdeadbeef;

union Block {
    EVENT_TRACE_PROPERTIES properties;
    BYTE bytes[ETW_EMU_PROPERTIES_BYTES];
};

// A real-time start block laid out as the program lays out its own.
void FillBlock(Block* block, const GUID* sessionGuid)
{
    memset(block, 0, sizeof(*block));
    block->properties.Wnode.BufferSize = sizeof(*block);
    block->properties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    block->properties.Wnode.ClientContext = 1;
    if (sessionGuid)
        block->properties.Wnode.Guid = *sessionGuid;
    block->properties.LoggerNameOffset = kNameOffset;
    block->properties.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
}

ULONG Start(LPCWSTR name, TRACEHANDLE* handle)
{
    Block block;
    FillBlock(&block, nullptr);
    return EtwStartTrace(handle, name, &block.properties);
}

ULONG Stop(LPCWSTR name, Block* block)
{
    FillBlock(block, nullptr);
    return EtwControlTrace(0, name, &block->properties, EVENT_TRACE_CONTROL_STOP);
}

ULONG Log(const GUID* provider, UCHAR level, ULONG index, const void* payload, ULONG bytes)
{
    return EtwEmuLogEvent(provider, level, index, index ^ 0x5555, 1000 + index, payload, bytes);
}

// What the callback saw. Written by the consumer thread only; read after the
// emulation's lock (WaitDelivered) or the thread's end ordered the writes.
struct SeenEvent {
    GUID guid;
    UCHAR type;
    UCHAR level;
    ULONG processId;
    ULONG threadId;
    LONGLONG timestamp;
    BOOL mofNull;
    std::vector<BYTE> payload;
};
std::vector<SeenEvent> seen;
HANDLE headerSeen;
// The callback holds at an event of process kGatePid until `gate` is set, so
// a test can queue events behind one that is inside the callback.
const ULONG kGatePid = 0x7fff6a7e;     // above every index a test logs
HANDLE gate;
HANDLE atGate;

void WINAPI RecordEvent(PEVENT_TRACE event)
{
    if (event->Header.ProcessId == kGatePid) {
        SetEvent(atGate);
        WaitForSingleObject(gate, 30000);
    }
    const BYTE* mof = static_cast<const BYTE*>(event->MofData);
    seen.push_back(SeenEvent{event->Header.Guid, event->Header.Class.Type,
                             event->Header.Class.Level, event->Header.ProcessId,
                             event->Header.ThreadId, event->Header.TimeStamp.QuadPart,
                             mof == nullptr,
                             std::vector<BYTE>(mof, mof + event->MofLength)});
    if (IsEqualGUID(event->Header.Guid, kEventTraceGuidValue))
        SetEvent(headerSeen);
}

struct Consumer {
    TRACEHANDLE handle;
    HANDLE thread;
    ULONG status;
};

DWORD WINAPI ConsumerProc(LPVOID parameter)
{
    Consumer* consumer = static_cast<Consumer*>(parameter);
    consumer->status = EtwProcessTrace(&consumer->handle, 1, nullptr, nullptr);
    return 0;
}

// Opens the session and processes it on a new thread; returns once the header
// event arrived, so the consumer is attached.
void StartConsumer(Consumer* consumer, LPCWSTR name)
{
    EVENT_TRACE_LOGFILEW logFile = {};
    logFile.LoggerName = const_cast<LPWSTR>(name);
    logFile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
    logFile.EventCallback = RecordEvent;
    consumer->status = 0xdeadbeef;
    consumer->handle = EtwOpenTrace(&logFile);
    ASSERT_NE(INVALID_PROCESSTRACE_HANDLE, consumer->handle);
    consumer->thread = CreateThread(nullptr, 0, ConsumerProc, consumer, 0, nullptr);
    ASSERT_NE(nullptr, consumer->thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(headerSeen, 30000));
}

void HoldConsumerAtGate()
{
    ASSERT_EQ(1u, Log(&kProviderX, 1, kGatePid, nullptr, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(atGate, 30000));
}

ULONG FinishConsumer(Consumer* consumer)
{
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(consumer->thread, 30000));
    CloseHandle(consumer->thread);
    return consumer->status;
}

class EtwEmulationTests : public testing::Test {
protected:
    void SetUp() override
    {
        EtwEmuReset();
        seen.clear();
        headerSeen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        atGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        SetEvent(gate);
        EtwEmuReset();
        CloseHandle(headerSeen);
        CloseHandle(gate);
        CloseHandle(atGate);
    }
};

TEST_F(EtwEmulationTests, SessionsAreNamedCaseInsensitively)
{
    Block block;
    FillBlock(&block, &kSessionGuid);
    TRACEHANDLE handle = kHandleSentinel;
    ASSERT_EQ(0u, EtwStartTrace(&handle, kSessionA, &block.properties));
    EXPECT_NE(0u, handle);
    EXPECT_EQ(handle, block.properties.Wnode.HistoricalContext);
    EXPECT_STREQ(kSessionA, reinterpret_cast<WCHAR*>(block.bytes + kNameOffset));
    EXPECT_TRUE(EtwEmuSessionRunning(L"EMUTESTSESSIONA"));

    // Same name in other case, then another name with the same session GUID.
    TRACEHANDLE again = kHandleSentinel;
    EXPECT_EQ(183u, Start(L"emutestsessiona", &again));
    EXPECT_EQ(0u, again);
    FillBlock(&block, &kSessionGuid);
    again = kHandleSentinel;
    EXPECT_EQ(183u, EtwStartTrace(&again, kSessionB, &block.properties));
    EXPECT_EQ(0u, again);
    EXPECT_FALSE(EtwEmuSessionRunning(kSessionB));

    // Stop goes by name; the handle is ignored.
    FillBlock(&block, nullptr);
    EXPECT_EQ(0u, EtwControlTrace(12345, L"emuTestSessionA", &block.properties, EVENT_TRACE_CONTROL_STOP));
    EXPECT_FALSE(EtwEmuSessionRunning(kSessionA));
    EXPECT_EQ(4201u, Stop(kSessionA, &block));
    EXPECT_EQ(0u, Start(kSessionA, &again));
}

TEST_F(EtwEmulationTests, StartRejectsBadBlocks)
{
    struct Case {
        const char* what;
        void (*edit)(Block*);
        ULONG expected;
    };
    const Case cases[] = {
        {"buffer size 0", [](Block* b) { b->properties.Wnode.BufferSize = 0; }, 24},
        {"buffer below the structure", [](Block* b) { b->properties.Wnode.BufferSize = 119; }, 24},
        {"no room for the name", [](Block* b) { b->properties.Wnode.BufferSize = kNameOffset + 20; }, 24},
        {"name offset inside", [](Block* b) { b->properties.LoggerNameOffset = 64; }, 87},
        {"log file offset inside", [](Block* b) { b->properties.LogFileNameOffset = 8; }, 87},
        {"circular without size", [](Block* b) { b->properties.LogFileMode |= 2; }, 87},
        {"neither file nor real time", [](Block* b) { b->properties.LogFileMode = 0; }, 161},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Block block;
        FillBlock(&block, nullptr);
        c.edit(&block);
        TRACEHANDLE handle = kHandleSentinel;
        EXPECT_EQ(c.expected, EtwStartTrace(&handle, kSessionA, &block.properties));
        EXPECT_EQ(0u, handle);
        EXPECT_FALSE(EtwEmuSessionRunning(kSessionA));
    }
    TRACEHANDLE handle = kHandleSentinel;
    EXPECT_EQ(87u, EtwStartTrace(&handle, kSessionA, nullptr));
    Block block;
    FillBlock(&block, nullptr);
    EXPECT_EQ(87u, EtwStartTrace(nullptr, kSessionA, &block.properties));

    // A log file is created, and a second session may not take it.
    WCHAR path[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH - 20, path));
    wcscat(path, L"EmuTestLog.etl");
    DeleteFileW(path);
    FillBlock(&block, nullptr);
    block.properties.LogFileNameOffset = kFileOffset;
    wcscpy(reinterpret_cast<WCHAR*>(block.bytes + kFileOffset), path);
    ASSERT_EQ(0u, EtwStartTrace(&handle, kSessionA, &block.properties));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path));
    CharUpperW(reinterpret_cast<WCHAR*>(block.bytes + kFileOffset));
    EXPECT_EQ(161u, EtwStartTrace(&handle, kSessionB, &block.properties));
    EtwEmuReset();
    EXPECT_TRUE(DeleteFileW(path));
}

TEST_F(EtwEmulationTests, RecordsEveryCallAsReceived)
{
    Block block, sent;
    FillBlock(&block, &kSessionGuid);
    block.properties.FlushTimer = 1;
    memcpy(&sent, &block, sizeof(sent));
    TRACEHANDLE handle = 0;
    ASSERT_EQ(0u, EtwStartTrace(&handle, kSessionA, &block.properties));
    ASSERT_EQ(0u, EtwEnableTrace(1, 0xFFFFFFFF, 4, &kProviderX, handle));
    ASSERT_EQ(0u, Stop(kSessionA, &block));
    ASSERT_EQ(3u, EtwEmuCallCount());

    EtwEmuCall call;
    ASSERT_TRUE(EtwEmuGetCall(0, &call));
    EXPECT_EQ(kEmuStartTrace, call.function);
    EXPECT_STREQ(kSessionA, call.sessionName);
    EXPECT_EQ(sizeof(sent), call.propertiesSize);
    // The block before StartTrace wrote the name and the handle into it.
    EXPECT_EQ(0, memcmp(sent.bytes, call.properties, sizeof(sent)));
    EXPECT_EQ(handle, call.handle);
    EXPECT_EQ(0u, call.status);

    ASSERT_TRUE(EtwEmuGetCall(1, &call));
    EXPECT_EQ(kEmuEnableTrace, call.function);
    EXPECT_TRUE(IsEqualGUID(kProviderX, call.provider));
    EXPECT_EQ(1u, call.enable);
    EXPECT_EQ(0xFFFFFFFFu, call.enableFlag);
    EXPECT_EQ(4u, call.enableLevel);
    EXPECT_EQ(handle, call.handle);

    ASSERT_TRUE(EtwEmuGetCall(2, &call));
    EXPECT_EQ(kEmuControlTrace, call.function);
    EXPECT_EQ(1u, call.controlCode);
    EXPECT_STREQ(kSessionA, call.sessionName);
    EXPECT_FALSE(EtwEmuGetCall(3, &call));
}

TEST_F(EtwEmulationTests, PlannedFailureHasNoOtherEffect)
{
    EtwEmuFailCall(kEmuEnableTrace, 2, ERROR_ACCESS_DENIED);
    EtwEmuFailCall(kEmuStartTrace, 2, ERROR_NO_SYSTEM_RESOURCES);
    EtwEmuFailCall(kEmuOpenTrace, 1, ERROR_ACCESS_DENIED);
    TRACEHANDLE handle = 0;
    ASSERT_EQ(0u, Start(kSessionA, &handle));
    EXPECT_EQ(0u, EtwEnableTrace(1, 0, 5, &kProviderX, handle));
    EXPECT_EQ(5u, EtwEnableTrace(1, 0, 5, &kProviderY, handle));
    EtwEmuProvider providers[4];
    EXPECT_EQ(1u, EtwEmuEnabledProviders(kSessionA, providers, 4));
    EXPECT_EQ(0u, EtwEnableTrace(1, 0, 5, &kProviderY, handle));
    ASSERT_EQ(2u, EtwEmuEnabledProviders(kSessionA, providers, 4));
    EXPECT_TRUE(IsEqualGUID(kProviderX, providers[0].guid));
    EXPECT_TRUE(IsEqualGUID(kProviderY, providers[1].guid));
    EtwEmuCall call;
    ASSERT_TRUE(EtwEmuGetCall(2, &call));
    EXPECT_EQ(5u, call.status);

    TRACEHANDLE other = kHandleSentinel;
    EXPECT_EQ(1450u, Start(kSessionB, &other));
    EXPECT_EQ(0u, other);
    EXPECT_FALSE(EtwEmuSessionRunning(kSessionB));

    EVENT_TRACE_LOGFILEW logFile = {};
    logFile.LoggerName = const_cast<LPWSTR>(kSessionA);
    logFile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_PROCESSTRACE_HANDLE, EtwOpenTrace(&logFile));
    EXPECT_EQ(5u, GetLastError());
}

TEST_F(EtwEmulationTests, LevelFilterAndOneSessionPerProvider)
{
    TRACEHANDLE a = 0, b = 0;
    ASSERT_EQ(0u, Start(kSessionA, &a));
    ASSERT_EQ(0u, Start(kSessionB, &b));
    ASSERT_EQ(0u, EtwEnableTrace(1, 7, 3, &kProviderX, a));
    for (UCHAR level = 0; level <= 5; level++) {
        SCOPED_TRACE(testing::Message() << "level " << int(level));
        EXPECT_EQ(level <= 3 ? 1u : 0u, Log(&kProviderX, level, level, nullptr, 0));
    }
    EXPECT_EQ(0u, Log(&kProviderY, 1, 0, nullptr, 0));

    // Enabling X on B takes it from A; stopping B leaves X nowhere.
    ASSERT_EQ(0u, EtwEnableTrace(1, 1, 5, &kProviderX, b));
    EtwEmuProvider providers[2];
    EXPECT_EQ(0u, EtwEmuEnabledProviders(kSessionA, providers, 2));
    ASSERT_EQ(1u, EtwEmuEnabledProviders(kSessionB, providers, 2));
    EXPECT_EQ(5u, providers[0].level);
    EXPECT_EQ(1u, providers[0].flags);
    EXPECT_EQ(1u, Log(&kProviderX, 5, 0, nullptr, 0));
    Block block;
    ASSERT_EQ(0u, Stop(kSessionB, &block));
    EXPECT_EQ(0u, Log(&kProviderX, 1, 0, nullptr, 0));
    EXPECT_EQ(6u, EtwEnableTrace(1, 0, 5, &kProviderX, b));

    ASSERT_EQ(0u, EtwEnableTrace(1, 0, 2, &kProviderX, a));
    ASSERT_EQ(0u, EtwEnableTrace(0, 0, 0, &kProviderX, a));
    EXPECT_EQ(0u, EtwEmuEnabledProviders(kSessionA, providers, 2));
    EXPECT_EQ(0u, Log(&kProviderX, 1, 0, nullptr, 0));
}

TEST_F(EtwEmulationTests, ConsumerCallsFailAsDocumented)
{
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_PROCESSTRACE_HANDLE, EtwOpenTrace(nullptr));
    EXPECT_EQ(87u, GetLastError());

    EVENT_TRACE_LOGFILEW logFile = {};
    logFile.LoggerName = const_cast<LPWSTR>(L"EmuTestMissing");
    logFile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
    logFile.EventCallback = RecordEvent;
    TRACEHANDLE handle = EtwOpenTrace(&logFile);
    ASSERT_NE(INVALID_PROCESSTRACE_HANDLE, handle);
    EXPECT_EQ(4201u, EtwProcessTrace(&handle, 1, nullptr, nullptr));
    TRACEHANDLE pair[2] = {handle, handle};
    EXPECT_EQ(87u, EtwProcessTrace(pair, 2, nullptr, nullptr));
    EXPECT_EQ(0u, EtwCloseTrace(handle));
    EXPECT_EQ(6u, EtwCloseTrace(handle));
    EXPECT_EQ(6u, EtwProcessTrace(&handle, 1, nullptr, nullptr));
    EXPECT_EQ(6u, EtwCloseTrace(0));
    EXPECT_EQ(6u, EtwCloseTrace(INVALID_PROCESSTRACE_HANDLE));
    EXPECT_TRUE(seen.empty());
}

TEST_F(EtwEmulationTests, StopDeliversWhatWasQueuedThenReturnsZero)
{
    TRACEHANDLE session = 0;
    ASSERT_EQ(0u, Start(kSessionA, &session));
    ASSERT_EQ(0u, EtwEnableTrace(1, 0, 5, &kProviderX, session));
    Consumer consumer;
    ASSERT_NO_FATAL_FAILURE(StartConsumer(&consumer, kSessionA));
    EXPECT_EQ(1u, EtwEmuConsumerCount(kSessionA));
    ASSERT_NO_FATAL_FAILURE(HoldConsumerAtGate());
    // Nothing is queued, but a callback has not returned yet.
    EXPECT_FALSE(EtwEmuWaitDelivered(kSessionA, 0));
    for (ULONG i = 0; i < 1000; i++)
        ASSERT_EQ(1u, Log(&kProviderX, 4, i, &i, sizeof(i)));
    Block block;
    ASSERT_EQ(0u, Stop(kSessionA, &block));
    SetEvent(gate);
    EXPECT_EQ(0u, FinishConsumer(&consumer));
    ASSERT_EQ(1002u, seen.size());
    EXPECT_EQ(kGatePid, seen[1].processId);
    EXPECT_EQ(999u, seen[1001].processId);
    EXPECT_EQ(0u, EtwCloseTrace(consumer.handle));
}

TEST_F(EtwEmulationTests, CloseDuringProcessingCancels)
{
    TRACEHANDLE session = 0;
    ASSERT_EQ(0u, Start(kSessionA, &session));
    ASSERT_EQ(0u, EtwEnableTrace(1, 0, 5, &kProviderX, session));
    Consumer consumer;
    ASSERT_NO_FATAL_FAILURE(StartConsumer(&consumer, kSessionA));
    ASSERT_NO_FATAL_FAILURE(HoldConsumerAtGate());
    for (ULONG i = 0; i < 10; i++)
        ASSERT_EQ(1u, Log(&kProviderX, 4, i, nullptr, 0));
    EXPECT_EQ(7007u, EtwCloseTrace(consumer.handle));
    SetEvent(gate);
    EXPECT_EQ(1223u, FinishConsumer(&consumer));
    EXPECT_EQ(12u, seen.size());
    EXPECT_EQ(6u, EtwCloseTrace(consumer.handle));
    EXPECT_TRUE(EtwEmuSessionRunning(kSessionA));
    EXPECT_EQ(0u, EtwEmuConsumerCount(kSessionA));
}

const ULONG kFloodEvents = 100000;

DWORD WINAPI FloodProc(LPVOID)
{
    BYTE payload[16];
    for (ULONG i = 0; i < kFloodEvents; i++) {
        ULONG length = i % 11;      // 0 and odd lengths included
        for (ULONG k = 0; k < length; k++)
            payload[k] = static_cast<BYTE>(i + k * 31);
        Log(&kProviderX, static_cast<UCHAR>(i % 6), i, payload, length);
    }
    return 0;
}

TEST_F(EtwEmulationTests, DeliversExactlyInOrderUnderConcurrentProducer)
{
    TRACEHANDLE session = 0;
    ASSERT_EQ(0u, Start(kSessionA, &session));
    ASSERT_EQ(0u, EtwEnableTrace(1, 0, 4, &kProviderX, session));
    Consumer consumer;
    ASSERT_NO_FATAL_FAILURE(StartConsumer(&consumer, kSessionA));
    HANDLE producer = CreateThread(nullptr, 0, FloodProc, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, producer);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(producer, 60000));
    CloseHandle(producer);
    ASSERT_TRUE(EtwEmuWaitDelivered(kSessionA, 60000));
    // Exact: every callback has returned, not merely been started.
    size_t expected = 1 + kFloodEvents / 6 * 5 + (kFloodEvents % 6 < 5 ? kFloodEvents % 6 : 5);
    ASSERT_EQ(expected, seen.size());

    EXPECT_TRUE(IsEqualGUID(kEventTraceGuidValue, seen[0].guid));
    EXPECT_EQ(0, seen[0].type);
    EXPECT_EQ(0, seen[0].level);
    size_t at = 1;
    for (ULONG i = 0; i < kFloodEvents && at < seen.size(); i++) {
        if (i % 6 == 5)
            continue;   // level 5 is above the enabled 4
        const SeenEvent& event = seen[at++];
        ULONG length = i % 11;
        std::vector<BYTE> payload(length);
        for (ULONG k = 0; k < length; k++)
            payload[k] = static_cast<BYTE>(i + k * 31);
        if (event.processId != i || event.threadId != (i ^ 0x5555) ||
            event.timestamp != 1000 + i || event.level != i % 6 ||
            !IsEqualGUID(kProviderX, event.guid) || event.payload != payload ||
            event.mofNull != (length == 0)) {
            ADD_FAILURE() << "event " << i << " arrived as index " << event.processId
                          << ", level " << int(event.level) << ", " << event.payload.size()
                          << " bytes";
            break;
        }
    }
    Block block;
    ASSERT_EQ(0u, Stop(kSessionA, &block));
    EXPECT_EQ(0u, FinishConsumer(&consumer));
    EtwCloseTrace(consumer.handle);
}

TEST_F(EtwEmulationTests, FullQueueDropsAndCountsEvents)
{
    TRACEHANDLE session = 0;
    ASSERT_EQ(0u, Start(kSessionA, &session));
    ASSERT_EQ(0u, EtwEnableTrace(1, 0, 5, &kProviderX, session));
    // Nobody listens: the session keeps events for a consumer, up to its bound.
    ULONG taken = 0;
    for (ULONG i = 0; i < ETW_EMU_QUEUE_EVENTS; i++)
        taken += Log(&kProviderX, 4, i, nullptr, 0);
    EXPECT_EQ(ETW_EMU_QUEUE_EVENTS, taken);
    for (ULONG i = 0; i < 3; i++)
        EXPECT_EQ(0u, Log(&kProviderX, 4, i, nullptr, 0));
    EXPECT_EQ(3u, EtwEmuEventsLost(kSessionA));
    EXPECT_FALSE(EtwEmuWaitDelivered(kSessionA, 0));
    Block block;
    ASSERT_EQ(0u, Stop(kSessionA, &block));
    EXPECT_EQ(3u, block.properties.EventsLost);

    // The byte budget: 64 payloads of 1 MB fill it.
    ASSERT_EQ(0u, Start(kSessionB, &session));
    ASSERT_EQ(0u, EtwEnableTrace(1, 0, 5, &kProviderY, session));
    std::vector<BYTE> big(ETW_EMU_QUEUE_BYTES / 64, 0x5A);
    for (ULONG i = 0; i < 64; i++)
        ASSERT_EQ(1u, Log(&kProviderY, 4, i, big.data(), static_cast<ULONG>(big.size())));
    EXPECT_EQ(0u, Log(&kProviderY, 4, 64, big.data(), static_cast<ULONG>(big.size())));
    EXPECT_EQ(1u, EtwEmuEventsLost(kSessionB));
}

// Determinism is checked by the next test, which compares what the player
// thread logged with the sequence computed afterwards.
TEST_F(EtwEmulationTests, SyntheticSequenceIsVaried)
{
    const ULONG64 count = 23 * 400;
    ULONG levels[6] = {}, providers[PROVIDER_COUNT] = {};
    ULONG longOnes = 0, bare = 0, otherProcesses = 0;
    SyntheticEvent event;
    DescribeSyntheticEvent(0, &event);
    const ULONG firstProcess = event.processId;
    for (ULONG64 i = 0; i < count; i++) {
        DescribeSyntheticEvent(i, &event);
        ASSERT_LT(event.providerIndex, static_cast<ULONG>(PROVIDER_COUNT)) << "event " << i;
        ASSERT_TRUE(event.level >= 1 && event.level <= 5) << "event " << i;
        ASSERT_EQ(wcslen(event.text), event.textLength) << "event " << i;
        levels[event.level]++;
        providers[event.providerIndex]++;
        longOnes += event.textLength > 200;
        bare += wcsstr(event.text, L") : ") == nullptr;
        otherProcesses += event.processId != firstProcess;
    }
    // Mostly 4 and 5, some 3, rare 2 and rarer 1.
    EXPECT_LT(0u, levels[1]);
    EXPECT_LT(levels[1], levels[2]);
    EXPECT_LT(levels[2], levels[3]);
    EXPECT_GT(levels[4] + levels[5], count * 3 / 4);
    for (int p = 0; p < PROVIDER_COUNT; p++)
        EXPECT_LT(0u, providers[p]) << "provider " << p;
    EXPECT_LT(0u, longOnes);
    EXPECT_LT(0u, bare);
    EXPECT_LT(0u, otherProcesses);
}

TEST_F(EtwEmulationTests, SyntheticTrafficReachesConsumerExactly)
{
    TRACEHANDLE session = 0;
    ASSERT_EQ(0u, Start(kSessionA, &session));
    for (const GUID& provider : providerTable)
        ASSERT_EQ(0u, EtwEnableTrace(1, 0xFFFFFFFF, 3, &provider, session));
    Consumer consumer;
    ASSERT_NO_FATAL_FAILURE(StartConsumer(&consumer, kSessionA));
    ASSERT_TRUE(StartSyntheticTraffic(0));
    EXPECT_FALSE(StartSyntheticTraffic(0));
    EXPECT_EQ(170u, GetLastError());
    for (int spins = 0; spins < 100000 && SyntheticEventsLogged() < 5000; spins++)
        Sleep(1);
    StopSyntheticTraffic();
    ULONG64 logged = SyntheticEventsLogged();
    ASSERT_LE(5000u, logged);
    ASSERT_TRUE(EtwEmuWaitDelivered(kSessionA, 60000));
    EXPECT_EQ(0u, EtwEmuEventsLost(kSessionA));

    size_t at = 1;
    for (ULONG64 i = 0; i < logged; i++) {
        SyntheticEvent expected;
        DescribeSyntheticEvent(i, &expected);
        if (expected.level > 3)
            continue;
        ASSERT_LT(at, seen.size()) << "event " << i << " missing";
        const SeenEvent& event = seen[at++];
        ULONG bytes = (expected.textLength + 1) * sizeof(WCHAR);
        ASSERT_TRUE(IsEqualGUID(providerTable[expected.providerIndex], event.guid) &&
                    event.level == expected.level && event.processId == expected.processId &&
                    event.threadId == expected.threadId && event.payload.size() == bytes &&
                    memcmp(event.payload.data(), expected.text, bytes) == 0)
            << "event " << i;
    }
    EXPECT_EQ(at, seen.size());
    Block block;
    ASSERT_EQ(0u, Stop(kSessionA, &block));
    EXPECT_EQ(0u, FinishConsumer(&consumer));
    EtwCloseTrace(consumer.handle);
}

}  // namespace
