// The emulation's process-wide record: sessions, consumers, call records,
// planned failures, and the bounded real-time queues.
#include "etw_emulation/emu_state.h"

#include <stdlib.h>
#include <string.h>

EmuState emu;

// Where a call goes unrecorded when the record array cannot grow.
static EtwEmuCall scratchCall;

void EmuAcquire()
{
    AcquireSRWLockExclusive(&emu.lock);
}

void EmuRelease()
{
    ReleaseSRWLockExclusive(&emu.lock);
}

BOOL SameName(LPCWSTR a, LPCWSTR b)
{
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

void CopyName(WCHAR* out, LPCWSTR source)
{
    size_t length = source ? wcsnlen(source, EMU_NAME_UNITS - 1) : 0;
    if (length)
        memcpy(out, source, length * sizeof(WCHAR));
    out[length] = 0;
}

TRACEHANDLE NewHandle()
{
    return ++emu.lastHandle;
}

EmuSession* FindSessionByName(LPCWSTR name)
{
    for (ULONG i = 0; i < emu.sessionCount; i++) {
        if (SameName(emu.sessions[i]->name, name))
            return emu.sessions[i];
    }
    return nullptr;
}

EmuSession* FindSessionByHandle(TRACEHANDLE handle)
{
    for (ULONG i = 0; i < emu.sessionCount; i++) {
        if (emu.sessions[i]->handle == handle)
            return emu.sessions[i];
    }
    return nullptr;
}

EmuSession* FindSessionByGuid(const GUID* guid)
{
    for (ULONG i = 0; i < emu.sessionCount; i++) {
        if (IsEqualGUID(emu.sessions[i]->guid, *guid))
            return emu.sessions[i];
    }
    return nullptr;
}

EmuSession* FindSessionByLogFile(LPCWSTR path)
{
    for (ULONG i = 0; i < emu.sessionCount; i++) {
        if (emu.sessions[i]->logFile[0] && SameName(emu.sessions[i]->logFile, path))
            return emu.sessions[i];
    }
    return nullptr;
}

EmuConsumer* FindConsumer(TRACEHANDLE handle)
{
    for (EmuConsumer* consumer = emu.consumers; consumer; consumer = consumer->next) {
        if (consumer->handle == handle)
            return consumer;
    }
    return nullptr;
}

EtwEmuCall* AppendCall(EtwEmuFunction function)
{
    // Out of memory the call goes unrecorded rather than failing the seam.
    if (emu.callCount == emu.callCapacity) {
        size_t capacity = emu.callCapacity ? emu.callCapacity * 2 : 64;
        void* grown = realloc(emu.calls, capacity * sizeof(EtwEmuCall));
        if (!grown) {
            memset(&scratchCall, 0, sizeof(scratchCall));
            return &scratchCall;
        }
        emu.calls = static_cast<EtwEmuCall*>(grown);
        emu.callCapacity = capacity;
    }
    EtwEmuCall* call = &emu.calls[emu.callCount++];
    memset(call, 0, sizeof(*call));
    call->function = function;
    return call;
}

void SetCallStatus(size_t index, ULONG generation, ULONG status)
{
    if (generation == emu.callGeneration && index < emu.callCount)
        emu.calls[index].status = status;
}

void RecordProperties(EtwEmuCall* call, const EVENT_TRACE_PROPERTIES* properties)
{
    if (!properties)
        return;
    ULONG size = properties->Wnode.BufferSize;
    if (size > ETW_EMU_PROPERTIES_BYTES)
        size = ETW_EMU_PROPERTIES_BYTES;
    memcpy(call->properties, properties, size);
    call->propertiesSize = size;
}

BOOL TakePlannedFailure(EtwEmuFunction function, ULONG* status)
{
    ULONG nth = ++emu.callsByFunction[function];
    for (ULONG i = 0; i < emu.planCount; i++) {
        if (emu.plans[i].function == function && emu.plans[i].nth == nth) {
            *status = emu.plans[i].status;
            return TRUE;
        }
    }
    return FALSE;
}

static BOOL QueuePush(EmuQueue* queue, ULONG bound, const EmuEvent* event, const void* payload)
{
    size_t padded = (static_cast<size_t>(event->length) + 7) & ~static_cast<size_t>(7);
    if (queue->events.size() >= bound)
        return FALSE;
    if (queue->bytes.size() + padded > ETW_EMU_QUEUE_BYTES)
        return FALSE;
    EmuEvent queued = *event;
    queued.offset = static_cast<ULONG>(queue->bytes.size());
    if (padded) {
        queue->bytes.resize(queued.offset + padded);
        memcpy(&queue->bytes[queued.offset], payload, event->length);
    }
    queue->events.push_back(queued);
    return TRUE;
}

EmuSession* CreateSession(LPCWSTR name, LPCWSTR logFile, const GUID* guid, ULONG logFileMode,
                          ULONG maximumFileSize, ULONG clientContext, ULONG* status)
{
    HANDLE file = nullptr;
    if (logFile && logFile[0]) {
        *status = CreateEmuLogFile(logFile, name, guid, logFileMode, maximumFileSize, clientContext,
                                   &file);
        if (*status != ERROR_SUCCESS)
            return nullptr;
    }
    EmuSession* session = new EmuSession();
    CopyName(session->name, name);
    CopyName(session->logFile, logFile);
    session->guid = *guid;
    session->handle = NewHandle();
    session->logFileMode = logFileMode;
    session->maximumFileSize = maximumFileSize;
    session->clientContext = clientContext;
    session->startTime = CurrentFileTime();
    session->queueBound = ETW_EMU_QUEUE_EVENTS;
    session->logHandle = file;
    emu.sessions[emu.sessionCount++] = session;
    *status = ERROR_SUCCESS;
    return session;
}

BOOL SessionEnqueue(EmuSession* session, const EmuEvent* event, const void* payload)
{
    BOOL recorded = session->logHandle &&
                    WriteEmuLogRecord(session->logHandle, &session->logRecord, event, payload);
    if (session->logHandle && !recorded)
        session->eventsLost++;
    BOOL taken = FALSE;
    BOOL listened = FALSE;
    for (EmuConsumer* consumer : session->consumers) {
        if (consumer->ending)
            continue;
        listened = TRUE;
        if (!QueuePush(&consumer->queue, session->queueBound, event, payload)) {
            session->eventsLost++;
            continue;
        }
        taken = TRUE;
        // Waking only a sleeping consumer keeps a flood free of wake calls.
        if (consumer->waiting) {
            consumer->waiting = FALSE;
            WakeConditionVariable(&consumer->wake);
        }
    }
    if (listened)
        return taken || recorded;
    if (session->logHandle)
        return recorded;
    if (QueuePush(&session->backlog, session->queueBound, event, payload))
        return TRUE;
    session->eventsLost++;
    return FALSE;
}

void EndConsumer(EmuConsumer* consumer, ULONG status)
{
    if (!consumer->ending) {
        consumer->ending = TRUE;
        consumer->endStatus = status;
    }
    if (consumer->waiting) {
        consumer->waiting = FALSE;
        WakeConditionVariable(&consumer->wake);
    }
}

void StopSession(EmuSession* session)
{
    for (EmuConsumer* consumer : session->consumers) {
        consumer->session = nullptr;
        EndConsumer(consumer, ERROR_SUCCESS);
    }
    for (ULONG i = 0; i < emu.sessionCount; i++) {
        if (emu.sessions[i] != session)
            continue;
        memmove(&emu.sessions[i], &emu.sessions[i + 1],
                (emu.sessionCount - i - 1) * sizeof(EmuSession*));
        emu.sessionCount--;
        break;
    }
    // As Windows, the file's header gets what the session lost while writing it.
    if (session->logHandle) {
        WriteEmuLogLosses(session->logHandle, session->eventsLost, session->logBuffersLost);
        CloseHandle(session->logHandle);
    }
    delete session;
    NotifyDelivered();
}

size_t SessionOutstanding(const EmuSession* session)
{
    size_t outstanding = session->backlog.events.size();
    for (const EmuConsumer* consumer : session->consumers)
        outstanding += consumer->queue.events.size() + consumer->inFlight;
    return outstanding;
}

void NotifyDelivered()
{
    if (emu.deliveryWaiters)
        WakeAllConditionVariable(&emu.delivered);
}
