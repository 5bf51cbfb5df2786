// The ETW emulation that the other tests and the demo run on: sessions by
// name, ProcessTrace's ends and the level filter, the queue bound.
#include <gtest/gtest.h>
#include <windows.h>
#include <evntrace.h>
#include <evntcons.h>

#include <vector>

#include "etw_emulation/etw_emulation.h"
#include "tracing/trace_session.h"

namespace {

const WCHAR kSession[] = L"EmuTestSession";

// Starts (code 0) with the first provider enabled up to level 4, or controls
// a session by name, `handle` then ignored; a real-time block without GUID.
ULONG Call(LPCWSTR name, ULONG code, TRACEHANDLE handle = 0)
{
    struct { EVENT_TRACE_PROPERTIES properties; WCHAR name[64]; } block = {};
    block.properties.Wnode.BufferSize = sizeof(block);
    block.properties.LoggerNameOffset = sizeof(block.properties);
    block.properties.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    if (code != 0)
        return EtwControlTrace(handle, name, &block.properties, code);
    ULONG status = EtwStartTrace(&handle, name, &block.properties);
    return status != 0 ? status : EtwEnableTrace(1, 0, 4, &providerTable[0], handle);
}

ULONG Log(UCHAR level, ULONG pid)
{
    return EtwEmuLogEvent(&providerTable[0], level, pid, 1, 1000, nullptr, 0);
}

// By name in any case; a stop ignores the handle passed. Nobody listens: a
// session keeps events for a consumer up to the bound, counting what it drops.
TEST(EtwEmulationTests, SessionsGoByNameAndKeepEventsUpToTheBound)
{
    EtwEmuReset();
    ASSERT_EQ(0u, Call(kSession, 0));
    EXPECT_EQ(183u, Call(L"emutestsession", 0));
    EXPECT_EQ(0u, Call(L"emuTestSession", EVENT_TRACE_CONTROL_STOP, 12345));
    EXPECT_FALSE(EtwEmuSessionRunning(kSession));
    EXPECT_EQ(4201u, Call(kSession, EVENT_TRACE_CONTROL_STOP));
    EXPECT_EQ(0u, Call(kSession, 0));
    // A second session enabling the provider takes it: one session gets each event.
    EXPECT_EQ(0u, Call(L"EmuTestSessionB", 0));
    ULONG taken = 0;
    for (ULONG i = 0; i < ETW_EMU_QUEUE_EVENTS + 3; i++)
        taken += Log(4, i);
    EXPECT_EQ(ETW_EMU_QUEUE_EVENTS, taken);
    EXPECT_EQ(3u, EtwEmuEventsLost(L"EmuTestSessionB"));
}

// What the callback saw. At the header event, its callback not returned yet,
// it logs events of levels 0 to 5, then stops the session or closes the trace.
std::vector<EVENT_TRACE_HEADER> seen;
TRACEHANDLE consumer;
bool closeAtHeader;

void WINAPI StopAtHeader(PEVENT_TRACE event)
{
    if (seen.empty()) {
        EXPECT_FALSE(EtwEmuWaitDelivered(kSession, 0));
        for (UCHAR level = 0; level <= 5; level++)
            EXPECT_EQ(level <= 4 ? 1u : 0u, Log(level, 100 + level)) << "level " << int(level);
        EXPECT_EQ(closeAtHeader ? 7007u : 0u,
                  closeAtHeader ? EtwCloseTrace(consumer) : Call(kSession, EVENT_TRACE_CONTROL_STOP));
    }
    seen.push_back(event->Header);
}

// A stop ends ProcessTrace with 0, a close with 1223; what was queued before
// either is still delivered, after the header event.
TEST(EtwEmulationTests, ProcessTraceEnds)
{
    EtwEmuReset();
    EVENT_TRACE_LOGFILEW logFile = {};
    logFile.LoggerName = const_cast<LPWSTR>(kSession);
    logFile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
    logFile.EventCallback = StopAtHeader;
    for (bool close : {false, true}) {
        SCOPED_TRACE(close ? "closed" : "stopped");
        seen.clear();
        closeAtHeader = close;
        ASSERT_EQ(0u, Call(kSession, 0));
        consumer = EtwOpenTrace(&logFile);
        EXPECT_EQ(close ? 1223u : 0u, EtwProcessTrace(&consumer, 1, nullptr, nullptr));
        ASSERT_EQ(6u, seen.size());
        EXPECT_EQ(0x68fdd900u, seen[0].Guid.Data1);  // EventTraceGuid
        for (ULONG i = 1; i < 6; i++)
            EXPECT_EQ(99 + i, seen[i].ProcessId);
        EXPECT_EQ(close ? 6u : 0u, EtwCloseTrace(consumer));  // a close during ProcessTrace released it
        EtwEmuReset();
    }
}

// A log file read with PROCESS_TRACE_MODE_RAW_TIMESTAMP: performance-counter ticks since the file's start (the
// header event's), not the FILETIMEs logged.
std::vector<LONGLONG> stamps;

TEST(EtwEmulationTests, RawTimeStampsAreClockTicksSinceTheStart)
{
    WCHAR path[MAX_PATH];
    wcscat((GetTempPathW(MAX_PATH, path), path), L"raw_stamps.etl");
    LONGLONG logged = 133537248000000000; // 2024-03-01, before the file's start
    EtwEmuFileEvent event = {providerTable[0], 4, 1, 2, logged, nullptr, 0};
    ASSERT_EQ(0u, EtwEmuWriteLogFile(path, L"Raw", &event, 1));
    for (ULONG raw : {0, PROCESS_TRACE_MODE_RAW_TIMESTAMP}) {
        EVENT_TRACE_LOGFILEW logFile = {};
        logFile.LogFileName = path;
        logFile.ProcessTraceMode = raw;
        logFile.EventCallback = [](PEVENT_TRACE event) { stamps.push_back(event->Header.TimeStamp.QuadPart); };
        stamps.clear();
        TRACEHANDLE trace = EtwOpenTrace(&logFile);
        EXPECT_EQ(0u, EtwProcessTrace(&trace, 1, nullptr, nullptr));
        EtwCloseTrace(trace);
        LONGLONG start = logFile.LogfileHeader.StartTime.QuadPart, ticks = logFile.LogfileHeader.PerfFreq.QuadPart;
        std::vector<LONGLONG> expected = {start, logged};
        if (raw != 0)
            expected = {0, (LONGLONG)((__int128)(logged - start) * ticks / 10000000)};
        EXPECT_EQ(expected, stamps) << raw;
    }
    DeleteFileW(path);
}

}  // namespace
