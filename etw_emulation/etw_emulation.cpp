// The test-facing side of the emulation: reset, planned failures, call
// records, session inspection and the provider side that logs events.
#include "etw_emulation/emu_state.h"

#include <stdlib.h>
#include <string.h>

void EtwEmuReset()
{
    EmuAcquire();
    while (emu.sessionCount)
        StopSession(emu.sessions[emu.sessionCount - 1]);
    free(emu.calls);
    emu.calls = nullptr;
    emu.callCount = 0;
    emu.callCapacity = 0;
    emu.callGeneration++;
    memset(emu.callsByFunction, 0, sizeof(emu.callsByFunction));
    emu.planCount = 0;
    EmuRelease();
}

void EtwEmuFailCall(EtwEmuFunction function, ULONG nth, ULONG status)
{
    if (static_cast<int>(function) < 0 || function >= kEmuFunctionCount)
        return;
    EmuAcquire();
    if (emu.planCount < EMU_MAX_PLANS)
        emu.plans[emu.planCount++] = EmuFailPlan{function, nth, status};
    EmuRelease();
}

size_t EtwEmuCallCount()
{
    EmuAcquire();
    size_t count = emu.callCount;
    EmuRelease();
    return count;
}

BOOL EtwEmuGetCall(size_t index, EtwEmuCall* out)
{
    if (!out)
        return FALSE;
    EmuAcquire();
    BOOL found = index < emu.callCount;
    if (found)
        memcpy(out, &emu.calls[index], sizeof(*out));
    EmuRelease();
    return found;
}

BOOL EtwEmuSessionRunning(LPCWSTR sessionName)
{
    EmuAcquire();
    BOOL running = sessionName && FindSessionByName(sessionName) != nullptr;
    EmuRelease();
    return running;
}

size_t EtwEmuEnabledProviders(LPCWSTR sessionName, EtwEmuProvider* out, size_t max)
{
    EmuAcquire();
    EmuSession* session = sessionName ? FindSessionByName(sessionName) : nullptr;
    size_t count = session ? session->providers.size() : 0;
    for (size_t i = 0; i < count && i < max && out; i++)
        out[i] = session->providers[i];
    EmuRelease();
    return count;
}

ULONG EtwEmuLogEvent(const GUID* provider, UCHAR level, ULONG processId,
                     ULONG threadId, LONGLONG timestamp,
                     const void* payload, ULONG payloadBytes)
{
    if (!provider || (payloadBytes && !payload))
        return 0;
    EmuEvent event = {*provider, timestamp, processId, threadId, 0, payloadBytes, level};
    ULONG taken = 0;
    EmuAcquire();
    for (ULONG i = 0; i < emu.sessionCount; i++) {
        EmuSession* session = emu.sessions[i];
        for (const EtwEmuProvider& enabled : session->providers) {
            if (!IsEqualGUID(enabled.guid, *provider))
                continue;
            // Level 0 is at or below every enabled level: it always passes.
            if (level <= enabled.level && SessionEnqueue(session, &event, payload))
                taken++;
            break;
        }
    }
    EmuRelease();
    return taken;
}

BOOL EtwEmuDeliverEvent(LPCWSTR sessionName, const GUID* provider, UCHAR level,
                        ULONG processId, ULONG threadId, LONGLONG timestamp,
                        const void* payload, ULONG payloadBytes)
{
    if (!sessionName || !provider || (payloadBytes && !payload))
        return FALSE;
    EmuEvent event = {*provider, timestamp, processId, threadId, 0, payloadBytes, level};
    EmuAcquire();
    EmuSession* session = FindSessionByName(sessionName);
    BOOL taken = session && SessionEnqueue(session, &event, payload);
    EmuRelease();
    return taken;
}

BOOL EtwEmuWaitDelivered(LPCWSTR sessionName, DWORD timeoutMs)
{
    if (!sessionName)
        return FALSE;
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    BOOL delivered = FALSE;
    EmuAcquire();
    emu.deliveryWaiters++;
    for (;;) {
        EmuSession* session = FindSessionByName(sessionName);
        if (!session)
            break;
        if (SessionOutstanding(session) == 0) {
            delivered = TRUE;
            break;
        }
        DWORD wait = INFINITE;
        if (timeoutMs != INFINITE) {
            ULONGLONG now = GetTickCount64();
            if (now >= deadline)
                break;
            wait = static_cast<DWORD>(deadline - now);
        }
        SleepConditionVariableSRW(&emu.delivered, &emu.lock, wait, 0);
    }
    emu.deliveryWaiters--;
    EmuRelease();
    return delivered;
}

ULONG EtwEmuConsumerCount(LPCWSTR sessionName)
{
    EmuAcquire();
    EmuSession* session = sessionName ? FindSessionByName(sessionName) : nullptr;
    ULONG count = session ? static_cast<ULONG>(session->consumers.size()) : 0;
    EmuRelease();
    return count;
}

ULONG64 EtwEmuEventsLost(LPCWSTR sessionName)
{
    EmuAcquire();
    EmuSession* session = sessionName ? FindSessionByName(sessionName) : nullptr;
    ULONG64 lost = session ? session->eventsLost : 0;
    EmuRelease();
    return lost;
}

BOOL EtwEmuLimitQueue(LPCWSTR sessionName, ULONG events)
{
    EmuAcquire();
    EmuSession* session = sessionName ? FindSessionByName(sessionName) : nullptr;
    if (session)
        session->queueBound = events < ETW_EMU_QUEUE_EVENTS ? events : ETW_EMU_QUEUE_EVENTS;
    EmuRelease();
    return session != nullptr;
}

BOOL EtwEmuAddSessionLosses(LPCWSTR sessionName, ULONG64 events, ULONG64 realTimeBuffers, ULONG64 logBuffers)
{
    EmuAcquire();
    EmuSession* session = sessionName ? FindSessionByName(sessionName) : nullptr;
    if (session) {
        session->eventsLost += events;
        session->realTimeBuffersLost += realTimeBuffers;
        session->logBuffersLost += logBuffers;
    }
    EmuRelease();
    return session != nullptr;
}
