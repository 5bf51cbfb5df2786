// Controller side of the seam: StartTrace, EnableTrace and ControlTrace on
// the emulated sessions. Each call takes emu.lock for its whole run.
#include "etw_emulation/emu_state.h"

#include <string.h>

static ULONG Clamp32(ULONG64 count)
{
    return count > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<ULONG>(count);
}

static const GUID kNullGuid = {};

static const ULONG kPropertiesBytes = sizeof(EVENT_TRACE_PROPERTIES);

// Reads the string at `offset` of the block through memcpy (offsets need not
// be aligned). FALSE when it runs past the block or past 1024 characters.
static BOOL ReadBlockString(const EVENT_TRACE_PROPERTIES* block, ULONG offset,
                            WCHAR* out)
{
    const BYTE* base = reinterpret_cast<const BYTE*>(block);
    ULONG size = block->Wnode.BufferSize;
    for (ULONG i = 0; i < EMU_NAME_UNITS; i++) {
        ULONG64 end = offset + (i + 1) * static_cast<ULONG64>(sizeof(WCHAR));
        if (end > size)
            return FALSE;
        memcpy(&out[i], base + offset + i * sizeof(WCHAR), sizeof(WCHAR));
        if (out[i] == 0)
            return TRUE;
    }
    return FALSE;
}

// Whether `text` and its terminator fit in the block at `offset`.
static BOOL FitsInBlock(const EVENT_TRACE_PROPERTIES* block, ULONG offset, LPCWSTR text)
{
    ULONG64 bytes = (wcslen(text) + 1) * static_cast<ULONG64>(sizeof(WCHAR));
    return offset + bytes <= block->Wnode.BufferSize;
}

static void WriteBlockString(EVENT_TRACE_PROPERTIES* block, ULONG offset, LPCWSTR text)
{
    memcpy(reinterpret_cast<BYTE*>(block) + offset, text, (wcslen(text) + 1) * sizeof(WCHAR));
}

static ULONG StartSession(LPCWSTR name, EVENT_TRACE_PROPERTIES* block, TRACEHANDLE* handle)
{
    if (!name || !block)
        return ERROR_INVALID_PARAMETER;
    ULONG size = block->Wnode.BufferSize;
    if (size < kPropertiesBytes)
        return ERROR_BAD_LENGTH;
    size_t nameLength = wcsnlen(name, EMU_NAME_UNITS);
    if (nameLength == 0 || nameLength >= EMU_NAME_UNITS)
        return ERROR_INVALID_PARAMETER;
    if (block->LoggerNameOffset < kPropertiesBytes)
        return ERROR_INVALID_PARAMETER;
    if (block->LogFileNameOffset != 0 && block->LogFileNameOffset < kPropertiesBytes)
        return ERROR_INVALID_PARAMETER;
    if (!FitsInBlock(block, block->LoggerNameOffset, name))
        return ERROR_BAD_LENGTH;
    WCHAR logFile[EMU_NAME_UNITS] = {};
    if (block->LogFileNameOffset != 0 && !ReadBlockString(block, block->LogFileNameOffset, logFile))
        return ERROR_BAD_LENGTH;
    if ((block->LogFileMode & EVENT_TRACE_FILE_MODE_CIRCULAR) && block->MaximumFileSize == 0)
        return ERROR_INVALID_PARAMETER;
    if (logFile[0] == 0 && !(block->LogFileMode & EVENT_TRACE_REAL_TIME_MODE))
        return ERROR_BAD_PATHNAME;
    if (FindSessionByName(name))
        return ERROR_ALREADY_EXISTS;
    if (!IsEqualGUID(block->Wnode.Guid, kNullGuid) && FindSessionByGuid(&block->Wnode.Guid))
        return ERROR_ALREADY_EXISTS;
    if (logFile[0] && FindSessionByLogFile(logFile))
        return ERROR_BAD_PATHNAME;
    if (emu.sessionCount == EMU_MAX_SESSIONS)
        return ERROR_NO_SYSTEM_RESOURCES;

    ULONG status = ERROR_SUCCESS;
    EmuSession* session = CreateSession(name, logFile, &block->Wnode.Guid, block->LogFileMode,
                                        block->MaximumFileSize, block->Wnode.ClientContext, &status);
    if (!session)
        return status;
    WriteBlockString(block, block->LoggerNameOffset, session->name);
    block->Wnode.HistoricalContext = session->handle;
    *handle = session->handle;
    return ERROR_SUCCESS;
}

ULONG EtwStartTrace(PTRACEHANDLE traceHandle, LPCWSTR sessionName,
                    PEVENT_TRACE_PROPERTIES properties)
{
    EmuAcquire();
    EtwEmuCall* call = AppendCall(kEmuStartTrace);
    CopyName(call->sessionName, sessionName);
    RecordProperties(call, properties);
    TRACEHANDLE handle = 0;
    ULONG status;
    if (!TakePlannedFailure(kEmuStartTrace, &status)) {
        status = traceHandle ? StartSession(sessionName, properties, &handle)
                             : ERROR_INVALID_PARAMETER;
    }
    if (traceHandle)
        *traceHandle = handle;
    call->handle = handle;
    call->status = status;
    EmuRelease();
    return status;
}

static void RemoveProvider(EmuSession* session, const GUID* provider)
{
    std::vector<EtwEmuProvider>& list = session->providers;
    for (size_t i = 0; i < list.size(); i++) {
        if (IsEqualGUID(list[i].guid, *provider)) {
            list.erase(list.begin() + i);
            return;
        }
    }
}

static ULONG EnableProvider(ULONG enable, ULONG flags, ULONG level, const GUID* provider,
                            TRACEHANDLE handle)
{
    if (!provider || handle == 0)
        return ERROR_INVALID_PARAMETER;
    EmuSession* session = FindSessionByHandle(handle);
    if (!session)
        return ERROR_INVALID_HANDLE;
    if (!enable) {
        RemoveProvider(session, provider);
        return ERROR_SUCCESS;
    }
    // A classic provider feeds one session: enabling it here takes it from
    // any other session.
    for (ULONG i = 0; i < emu.sessionCount; i++) {
        if (emu.sessions[i] != session)
            RemoveProvider(emu.sessions[i], provider);
    }
    for (EtwEmuProvider& entry : session->providers) {
        if (IsEqualGUID(entry.guid, *provider)) {
            entry.level = level;
            entry.flags = flags;
            return ERROR_SUCCESS;
        }
    }
    session->providers.push_back(EtwEmuProvider{*provider, level, flags});
    return ERROR_SUCCESS;
}

ULONG EtwEnableTrace(ULONG enable, ULONG enableFlag, ULONG enableLevel,
                     LPCGUID controlGuid, TRACEHANDLE traceHandle)
{
    EmuAcquire();
    EtwEmuCall* call = AppendCall(kEmuEnableTrace);
    call->enable = enable;
    call->enableFlag = enableFlag;
    call->enableLevel = enableLevel;
    if (controlGuid)
        call->provider = *controlGuid;
    call->handle = traceHandle;
    ULONG status;
    if (!TakePlannedFailure(kEmuEnableTrace, &status))
        status = EnableProvider(enable, enableFlag, enableLevel, controlGuid, traceHandle);
    call->status = status;
    EmuRelease();
    return status;
}

// Checks an optional name slot of a control block: 87 inside the structure,
// 24 without room for `text`.
static ULONG CheckNameSlot(const EVENT_TRACE_PROPERTIES* block, ULONG offset, LPCWSTR text)
{
    if (offset == 0)
        return ERROR_SUCCESS;
    if (offset < kPropertiesBytes)
        return ERROR_INVALID_PARAMETER;
    return FitsInBlock(block, offset, text) ? ERROR_SUCCESS : ERROR_BAD_LENGTH;
}

static ULONG ControlSession(TRACEHANDLE handle, LPCWSTR name, EVENT_TRACE_PROPERTIES* block,
                            ULONG code)
{
    if (!block)
        return ERROR_INVALID_PARAMETER;
    if (block->Wnode.BufferSize < kPropertiesBytes)
        return ERROR_BAD_LENGTH;
    EmuSession* session;
    if (name && name[0])
        session = FindSessionByName(name);
    else if (handle != 0)
        session = FindSessionByHandle(handle);
    else
        return ERROR_INVALID_PARAMETER;
    if (!session)
        return ERROR_WMI_INSTANCE_NOT_FOUND;
    ULONG status = CheckNameSlot(block, block->LoggerNameOffset, session->name);
    if (status == ERROR_SUCCESS)
        status = CheckNameSlot(block, block->LogFileNameOffset, session->logFile);
    if (status != ERROR_SUCCESS)
        return status;

    // Every control code reports the session's settings and statistics.
    block->Wnode.Guid = session->guid;
    block->Wnode.HistoricalContext = session->handle;
    block->Wnode.ClientContext = session->clientContext;
    block->LogFileMode = session->logFileMode;
    block->MaximumFileSize = session->maximumFileSize;
    block->EventsLost = Clamp32(session->eventsLost);
    block->RealTimeBuffersLost = Clamp32(session->realTimeBuffersLost);
    block->LogBuffersLost = Clamp32(session->logBuffersLost);
    if (block->LoggerNameOffset)
        WriteBlockString(block, block->LoggerNameOffset, session->name);
    if (block->LogFileNameOffset)
        WriteBlockString(block, block->LogFileNameOffset, session->logFile);
    if (code == EVENT_TRACE_CONTROL_STOP)
        StopSession(session);
    return ERROR_SUCCESS;
}

ULONG EtwControlTrace(TRACEHANDLE traceHandle, LPCWSTR sessionName,
                      PEVENT_TRACE_PROPERTIES properties, ULONG controlCode)
{
    EmuAcquire();
    EtwEmuCall* call = AppendCall(kEmuControlTrace);
    CopyName(call->sessionName, sessionName);
    RecordProperties(call, properties);
    call->handle = traceHandle;
    call->controlCode = controlCode;
    ULONG status;
    if (!TakePlannedFailure(kEmuControlTrace, &status))
        status = ControlSession(traceHandle, sessionName, properties, controlCode);
    call->status = status;
    EmuRelease();
    return status;
}
