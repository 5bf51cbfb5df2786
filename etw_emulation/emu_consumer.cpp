// Consumer side of the seam: OpenTrace, ProcessTrace and CloseTrace on the
// emulated real-time sessions. ProcessTrace swaps its whole queue out under
// emu.lock and calls the callback outside it, so a producer never waits for
// a callback and a callback may call the seam itself.
#include "etw_emulation/emu_state.h"

#include <evntcons.h>
#include <stdint.h>
#include <string.h>

// EventTraceGuid {68fdd900-4a3e-11d1-84f4-0000f80464e3}, the header event's
// class; defined here so that no GUID library is needed.
static const GUID kEventTraceGuid =
    {0x68fdd900, 0x4a3e, 0x11d1, {0x84, 0xf4, 0x00, 0x00, 0xf8, 0x04, 0x64, 0xe3}};

LONGLONG CurrentFileTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<LONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

static ULONG OpenConsumer(EVENT_TRACE_LOGFILEW* logFile, TRACEHANDLE* handle)
{
    if (!logFile)
        return ERROR_INVALID_PARAMETER;
    if (!logFile->LoggerName && !logFile->LogFileName)
        return ERROR_BAD_PATHNAME;
    // Only classic records are emulated.
    if (logFile->ProcessTraceMode & PROCESS_TRACE_MODE_EVENT_RECORD)
        return ERROR_NOT_SUPPORTED;
    BOOL raw = (logFile->ProcessTraceMode & PROCESS_TRACE_MODE_RAW_TIMESTAMP) != 0;
    BOOL realTime = (logFile->ProcessTraceMode & PROCESS_TRACE_MODE_REAL_TIME) != 0;
    LPCWSTR name = realTime ? logFile->LoggerName : logFile->LogFileName;
    if (!name || !name[0])
        return ERROR_BAD_PATHNAME;
    if (wcsnlen(name, EMU_NAME_UNITS) >= EMU_NAME_UNITS)
        return ERROR_INVALID_PARAMETER;

    EmuConsumer* consumer = new EmuConsumer();
    consumer->rawTimestamps = raw;
    if (!realTime) {
        ULONG status = OpenEmuLogFile(consumer, name);
        if (status != ERROR_SUCCESS) {
            delete consumer;
            return status;
        }
        // OpenTrace reports the file's header to the caller, as Windows does.
        HeaderEvent header;
        BuildLogFileHeaderEvent(consumer, &header);
        logFile->LogfileHeader = header.payload.header;
    }
    consumer->handle = NewHandle();
    CopyName(consumer->loggerName, logFile->LoggerName);
    consumer->callback = logFile->EventCallback;
    consumer->next = emu.consumers;
    emu.consumers = consumer;
    *handle = consumer->handle;
    return ERROR_SUCCESS;
}

TRACEHANDLE EtwOpenTrace(PEVENT_TRACE_LOGFILEW logFile)
{
    DWORD lastError = GetLastError();
    EmuAcquire();
    EtwEmuCall* call = AppendCall(kEmuOpenTrace);
    if (logFile) {
        CopyName(call->sessionName, logFile->LoggerName);
        call->logFileMode = logFile->ProcessTraceMode;
    }
    TRACEHANDLE handle = INVALID_PROCESSTRACE_HANDLE;
    ULONG status;
    if (!TakePlannedFailure(kEmuOpenTrace, &status))
        status = OpenConsumer(logFile, &handle);
    if (status != ERROR_SUCCESS)
        handle = INVALID_PROCESSTRACE_HANDLE;
    call->handle = handle;
    call->status = status;
    EmuRelease();
    // Success leaves the last error alone, as OpenTraceW does (opening a log
    // file may have touched it).
    SetLastError(status != ERROR_SUCCESS ? status : lastError);
    return handle;
}

// The session clock's raw value at a time: with system time (ClientContext 2)
// the FILETIME itself; otherwise performance-counter ticks, counted from the
// session's start.
static LONGLONG SessionClock(LONGLONG fileTime, const EmuConsumer* consumer)
{
    if (consumer->clientContext == 2)
        return fileTime;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const LONGLONG kTicksPerSecond = 10000000;
    LONGLONG since = fileTime - consumer->clockStart;
    return since / kTicksPerSecond * frequency.QuadPart +
           since % kTicksPerSecond * frequency.QuadPart / kTicksPerSecond;
}

void FillEventTrace(EVENT_TRACE* out, const EmuEvent* event, const BYTE* base,
                    const EmuConsumer* consumer)
{
    memset(out, 0, sizeof(*out));
    ULONG size = sizeof(EVENT_TRACE_HEADER) + event->length;
    out->Header.Size = static_cast<USHORT>(size > 0xFFFF ? 0xFFFF : size);
    out->Header.Class.Level = event->level;
    out->Header.ThreadId = event->threadId;
    out->Header.ProcessId = event->processId;
    out->Header.TimeStamp.QuadPart =
        consumer->rawTimestamps ? SessionClock(event->timestamp, consumer) : event->timestamp;
    out->Header.Guid = event->provider;
    out->MofData = event->length ? const_cast<BYTE*>(base + event->offset) : nullptr;
    out->MofLength = event->length;
}

static void DeliverBatch(const EmuConsumer* consumer, const EmuQueue* batch)
{
    const BYTE* bytes = batch->bytes.data();
    for (const EmuEvent& event : batch->events) {
        EVENT_TRACE record;
        FillEventTrace(&record, &event, bytes, consumer);
        if (consumer->callback)
            consumer->callback(&record);
    }
}

void BuildHeaderEvent(LPCWSTR sessionName, LPCWSTR logFileName, ULONG logFileMode,
                      ULONG maximumFileSize, LONGLONG startTime, HeaderEvent* out)
{
    memset(out, 0, sizeof(*out));
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    TRACE_LOGFILE_HEADER* header = &out->payload.header;
    header->BufferSize = 64 * 1024;
    header->NumberOfProcessors = system.dwNumberOfProcessors;
    header->TimerResolution = 156250;
    header->MaximumFileSize = maximumFileSize;
    header->LogFileMode = logFileMode;
    header->PointerSize = sizeof(void*);
    header->PerfFreq = frequency;
    header->StartTime.QuadPart = startTime;

    // Both names fit: each is at most EMU_NAME_UNITS - 1 characters.
    size_t sessionBytes = (wcsnlen(sessionName, EMU_NAME_UNITS - 1) + 1) * sizeof(WCHAR);
    size_t fileBytes = (wcsnlen(logFileName, EMU_NAME_UNITS - 1) + 1) * sizeof(WCHAR);
    BYTE* names = out->payload.bytes + sizeof(TRACE_LOGFILE_HEADER);
    memcpy(names, sessionName, sessionBytes - sizeof(WCHAR));
    memcpy(names + sessionBytes, logFileName, fileBytes - sizeof(WCHAR));
    out->event.provider = kEventTraceGuid;
    out->event.timestamp = startTime;
    out->event.length = static_cast<ULONG>(sizeof(TRACE_LOGFILE_HEADER) + sessionBytes + fileBytes);
}

// Takes the consumer onto the session: the header event is due first, then
// whatever the session kept while nobody listened.
static void AttachConsumer(EmuConsumer* consumer, EmuSession* session)
{
    BOOL listened = FALSE;
    for (const EmuConsumer* other : session->consumers)
        listened = listened || !other->ending;
    consumer->queue.events.clear();
    consumer->queue.bytes.clear();
    if (!listened) {
        consumer->queue.events.swap(session->backlog.events);
        consumer->queue.bytes.swap(session->backlog.bytes);
    }
    consumer->session = session;
    consumer->clockStart = session->startTime;
    consumer->clientContext = session->clientContext;
    consumer->processing = TRUE;
    consumer->ending = FALSE;
    consumer->endStatus = ERROR_SUCCESS;
    consumer->inFlight = 1;     // the header event
    session->consumers.push_back(consumer);
}

static void DetachConsumer(EmuConsumer* consumer)
{
    EmuSession* session = consumer->session;
    if (session) {
        std::vector<EmuConsumer*>& list = session->consumers;
        for (size_t i = 0; i < list.size(); i++) {
            if (list[i] == consumer) {
                list.erase(list.begin() + i);
                break;
            }
        }
    }
    consumer->session = nullptr;
    consumer->processing = FALSE;
}

static void FreeConsumer(EmuConsumer* consumer)
{
    for (EmuConsumer** link = &emu.consumers; *link; link = &(*link)->next) {
        if (*link == consumer) {
            *link = consumer->next;
            break;
        }
    }
    if (consumer->logFile)
        CloseHandle(consumer->logFile);
    delete consumer;
}

// Runs with emu.lock held on entry and on return; releases it around every
// callback.
static ULONG RunConsumer(EmuConsumer* consumer, const HeaderEvent* header)
{
    EmuQueue batch;
    EmuRelease();
    EVENT_TRACE record;
    FillEventTrace(&record, &header->event, header->payload.bytes, consumer);
    if (consumer->callback)
        consumer->callback(&record);
    EmuAcquire();
    consumer->inFlight = 0;
    for (;;) {
        while (consumer->queue.events.empty() && !consumer->ending) {
            NotifyDelivered();
            consumer->waiting = TRUE;
            SleepConditionVariableSRW(&consumer->wake, &emu.lock, INFINITE, 0);
        }
        consumer->waiting = FALSE;
        // Stopped or closed: what was queued before is still delivered.
        if (consumer->queue.events.empty())
            break;
        batch.events.swap(consumer->queue.events);
        batch.bytes.swap(consumer->queue.bytes);
        consumer->inFlight = batch.events.size();
        EmuRelease();
        DeliverBatch(consumer, &batch);
        batch.events.clear();
        batch.bytes.clear();
        EmuAcquire();
        consumer->inFlight = 0;
    }
    NotifyDelivered();
    return consumer->endStatus;
}

ULONG EtwProcessTrace(PTRACEHANDLE handles, ULONG handleCount,
                      LPFILETIME startTime, LPFILETIME endTime)
{
    (void)startTime;    // every event is delivered: no time window
    (void)endTime;
    EmuAcquire();
    size_t before = emu.callCount;
    ULONG generation = emu.callGeneration;
    EtwEmuCall* call = AppendCall(kEmuProcessTrace);
    // An unrecorded call (out of memory) gets no late status.
    size_t index = emu.callCount > before ? before : SIZE_MAX;
    call->handle = handles && handleCount ? handles[0] : 0;
    call->status = ERROR_IO_PENDING;
    ULONG status;
    if (TakePlannedFailure(kEmuProcessTrace, &status)) {
        call->status = status;
        EmuRelease();
        return status;
    }
    EmuConsumer* consumer = nullptr;
    EmuSession* session = nullptr;
    status = ERROR_SUCCESS;
    if (!handles || handleCount != 1)
        status = ERROR_INVALID_PARAMETER;
    else if (!(consumer = FindConsumer(handles[0])) || consumer->closePending)
        status = ERROR_INVALID_HANDLE;
    else if (consumer->processing)
        status = ERROR_INVALID_PARAMETER;
    else if (!consumer->logFile && !(session = FindSessionByName(consumer->loggerName)))
        status = ERROR_WMI_INSTANCE_NOT_FOUND;
    if (status != ERROR_SUCCESS) {
        call->status = status;
        EmuRelease();
        return status;
    }

    if (session) {
        HeaderEvent header;
        BuildHeaderEvent(session->name, L"", session->logFileMode, session->maximumFileSize,
                         CurrentFileTime(), &header);
        AttachConsumer(consumer, session);
        status = RunConsumer(consumer, &header);
        DetachConsumer(consumer);
    } else {
        // A log file is read without the lock; CloseTrace only flags it.
        consumer->processing = TRUE;
        EmuRelease();
        status = ReadEmuLogFile(consumer);
        EmuAcquire();
        consumer->processing = FALSE;
    }
    if (consumer->closePending)
        FreeConsumer(consumer);
    SetCallStatus(index, generation, status);
    EmuRelease();
    return status;
}

ULONG EtwCloseTrace(TRACEHANDLE traceHandle)
{
    EmuAcquire();
    EtwEmuCall* call = AppendCall(kEmuCloseTrace);
    call->handle = traceHandle;
    ULONG status;
    if (!TakePlannedFailure(kEmuCloseTrace, &status)) {
        EmuConsumer* consumer = FindConsumer(traceHandle);
        if (!consumer || consumer->closePending) {
            status = ERROR_INVALID_HANDLE;
        } else if (consumer->processing) {
            // ProcessTrace drains what is queued, returns 1223 and frees it.
            consumer->closePending = TRUE;
            InterlockedExchange(&consumer->cancelled, TRUE);
            EndConsumer(consumer, ERROR_CANCELLED);
            status = ERROR_CTX_CLOSE_PENDING;
        } else {
            FreeConsumer(consumer);
            status = ERROR_SUCCESS;
        }
    }
    call->status = status;
    EmuRelease();
    return status;
}
