// The synthetic traffic player: the script of etw_emulation/synthetic_script
// logged through the emulation, once or from a background thread.
#include "etw_emulation/synthetic_traffic.h"

#include "etw_emulation/etw_emulation.h"
#include "tracing/trace_session.h"

ULONG LogSyntheticEvent(ULONG64 index)
{
    SyntheticEvent event;
    DescribeSyntheticEvent(index, &event);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    LONGLONG timestamp = (static_cast<LONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return EtwEmuLogEvent(&providerTable[event.providerIndex], event.level, event.processId,
                          event.threadId, timestamp, event.text,
                          (event.textLength + 1) * sizeof(WCHAR));
}

// The background player; owned by Start/Stop's controlling thread except
// `logged`, which any thread reads.
struct SyntheticTraffic {
    HANDLE thread;
    HANDLE stopEvent;
    ULONG eventsPerSecond;
    volatile LONG64 logged;
};

static SyntheticTraffic traffic;

// Events between two looks at the stop event at full speed; a paced run
// catches up at most 20 ms of its rate at once, and never less than this.
static const ULONG kBurst = 1024;

static BOOL StopRequested(DWORD waitMs)
{
    return WaitForSingleObject(traffic.stopEvent, waitMs) == WAIT_OBJECT_0;
}

static DWORD WINAPI TrafficThreadProc(LPVOID unused)
{
    (void)unused;
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    ULONG64 rate = traffic.eventsPerSecond;
    ULONG64 burst = rate / 50 > kBurst ? rate / 50 : kBurst;
    ULONG64 index = 0;
    for (;;) {
        ULONG64 due = index + burst;
        if (rate) {
            QueryPerformanceCounter(&now);
            ULONG64 ticks = static_cast<ULONG64>(now.QuadPart - start.QuadPart);
            ULONG64 perSecond = static_cast<ULONG64>(frequency.QuadPart);
            ULONG64 target = ticks / perSecond * rate + ticks % perSecond * rate / perSecond;
            if (target < due)
                due = target;
        }
        for (; index < due; index++) {
            LogSyntheticEvent(index);
            InterlockedIncrement64(&traffic.logged);
        }
        // Paced: sleep a tick on the stop event; full speed: just look at it.
        if (StopRequested(rate ? 1 : 0))
            return 0;
    }
}

BOOL StartSyntheticTraffic(ULONG eventsPerSecond)
{
    if (traffic.thread) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    traffic.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!traffic.stopEvent)
        return FALSE;
    traffic.eventsPerSecond = eventsPerSecond;
    InterlockedExchange64(&traffic.logged, 0);
    traffic.thread = CreateThread(nullptr, 0, TrafficThreadProc, nullptr, 0, nullptr);
    if (!traffic.thread) {
        DWORD status = GetLastError();
        CloseHandle(traffic.stopEvent);
        traffic.stopEvent = nullptr;
        SetLastError(status);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

void StopSyntheticTraffic()
{
    if (!traffic.thread)
        return;
    SetEvent(traffic.stopEvent);
    WaitForSingleObject(traffic.thread, INFINITE);
    CloseHandle(traffic.thread);
    CloseHandle(traffic.stopEvent);
    traffic.thread = nullptr;
    traffic.stopEvent = nullptr;
}

ULONG64 SyntheticEventsLogged()
{
    return InterlockedCompareExchange64(&traffic.logged, 0, 0);
}
