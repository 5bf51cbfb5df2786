#include "tracing/trace_session.h"

#include <evntrace.h>
#include <wchar.h>

#include "common/wide_format.h"
#include "tracing/etw_seam.h"

// {5c0b3a61-2f4e-4d8a-9b17-6e1f0c2d3a41}
const GUID fileSessionGuid = {0x5c0b3a61, 0x2f4e, 0x4d8a, {0x9b, 0x17, 0x6e, 0x1f, 0x0c, 0x2d, 0x3a, 0x41}};
// {5c0b3a62-2f4e-4d8a-9b17-6e1f0c2d3a42}
const GUID liveSessionGuid = {0x5c0b3a62, 0x2f4e, 0x4d8a, {0x9b, 0x17, 0x6e, 0x1f, 0x0c, 0x2d, 0x3a, 0x42}};

const GUID providerTable[PROVIDER_COUNT] = {
    // Virtual smart card reader driver
    {0x8e4f1a10, 0x6b3c, 0x4f21, {0xa5, 0x02, 0x3d, 0x7c, 0x91, 0x44, 0xe0, 0x01}},
    // Card minidriver
    {0x8e4f1a11, 0x6b3c, 0x4f21, {0xa5, 0x02, 0x3d, 0x7c, 0x91, 0x44, 0xe0, 0x02}},
    // Key storage provider
    {0x8e4f1a12, 0x6b3c, 0x4f21, {0xa5, 0x02, 0x3d, 0x7c, 0x91, 0x44, 0xe0, 0x03}},
    // Credential provider
    {0x8e4f1a13, 0x6b3c, 0x4f21, {0xa5, 0x02, 0x3d, 0x7c, 0x91, 0x44, 0xe0, 0x04}},
    // Card service
    {0x8e4f1a14, 0x6b3c, 0x4f21, {0xa5, 0x02, 0x3d, 0x7c, 0x91, 0x44, 0xe0, 0x05}},
    // Management tools
    {0x8e4f1a15, 0x6b3c, 0x4f21, {0xa5, 0x02, 0x3d, 0x7c, 0x91, 0x44, 0xe0, 0x06}},
};

namespace {

const ULONG kFileSessionMode = EVENT_TRACE_FILE_MODE_CIRCULAR | EVENT_TRACE_REAL_TIME_MODE |
                               EVENT_TRACE_DELAY_OPEN_FILE_MODE;  // 0x302
const ULONG kLiveSessionMode = EVENT_TRACE_REAL_TIME_MODE;        // 0x100
const ULONG kStopSessionMode = 0x00001300;
const ULONG kFileSessionMaxMegabytes = 8;

// The properties block of one start or stop, with room for both names.
union SessionBlock {
    EVENT_TRACE_PROPERTIES properties;
    BYTE bytes[SESSION_BLOCK_BYTES];
};
static_assert(sizeof(EVENT_TRACE_PROPERTIES) == SESSION_LOG_FILE_OFFSET, "properties header size");
static_assert(SESSION_LOGGER_NAME_OFFSET == SESSION_LOG_FILE_OFFSET + 1024 * sizeof(WCHAR), "name room");

void DebugTrace(const WCHAR* format, ULONG status)
{
    WCHAR text[FORMAT_TEXT_UNITS];
    if (FormatText1024(text, format, status) > 0)
        OutputDebugStringW(text);
}

}  // namespace

BOOL GetLogDirectory(WCHAR* out)
{
    WCHAR windows[MAX_PATH];
    UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length < 1 || length > MAX_PATH - 1)
        return FALSE;
    if (windows[length - 1] == L'\\')
        windows[length - 1] = L'\0';
    return FormatBounded(out, MAX_PATH, L"%s\\System32\\LogFiles\\WMI", windows) > 0;
}

BOOL GetLogFilePath(WCHAR* out, const WCHAR* suffix)
{
    WCHAR directory[MAX_PATH];
    if (!GetLogDirectory(directory))
        return FALSE;
    return FormatBounded(out, MAX_PATH, L"%s\\Quorvel.etl%s", directory,
                         suffix != nullptr ? suffix : L"") > 0;
}

BOOL StartTraceSession(BOOL fileSession, ULONG level)
{
    WCHAR directory[MAX_PATH];
    WCHAR logFile[MAX_PATH];
    if (fileSession) {
        if (!GetLogDirectory(directory) || !GetLogFilePath(logFile, nullptr)) {
            SetLastError(ERROR_BAD_PATHNAME);
            return FALSE;
        }
        DWORD attributes = GetFileAttributesW(directory);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (!CreateDirectoryW(directory, nullptr))
                return FALSE;  // CreateDirectoryW's error stays the last error
        }
    }

    SessionBlock block;
    ZeroMemory(&block, sizeof(block));
    EVENT_TRACE_PROPERTIES& properties = block.properties;
    properties.Wnode.BufferSize = SESSION_BLOCK_BYTES;
    properties.Wnode.Guid = fileSession ? fileSessionGuid : liveSessionGuid;
    properties.Wnode.ClientContext = 1;  // query performance counter clock
    properties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    properties.FlushTimer = 1;
    properties.LoggerNameOffset = SESSION_LOGGER_NAME_OFFSET;
    properties.LogFileMode = fileSession ? kFileSessionMode : kLiveSessionMode;
    if (fileSession) {
        properties.MaximumFileSize = kFileSessionMaxMegabytes;
        properties.LogFileNameOffset = SESSION_LOG_FILE_OFFSET;
        wcscpy((WCHAR*)(block.bytes + SESSION_LOG_FILE_OFFSET), logFile);
        // Every start begins a new log file.
        DeleteFileW(logFile);
    }

    TRACEHANDLE session = 0;
    ULONG status = EtwStartTrace(&session, fileSession ? FILE_SESSION_NAME : LIVE_SESSION_NAME,
                                 &properties);
    if (status != ERROR_SUCCESS) {
        DebugTrace(L"StartTrace 0x%08x", status);
        SetLastError(status);
        return FALSE;
    }
    // No rollback: a failing provider leaves the session running with the
    // providers enabled so far.
    for (const GUID& provider : providerTable) {
        status = EtwEnableTrace(TRUE, 0xFFFFFFFF, level, &provider, session);
        if (status != ERROR_SUCCESS) {
            DebugTrace(L"EnableTraceEx 0x%08x", status);
            SetLastError(status);
            return FALSE;
        }
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

namespace {

// The block of every stop and query: both address the session by name.
void FillControlBlock(SessionBlock* block, BOOL fileSession)
{
    ZeroMemory(block, sizeof(*block));
    EVENT_TRACE_PROPERTIES& properties = block->properties;
    properties.Wnode.BufferSize = SESSION_BLOCK_BYTES;
    properties.Wnode.Guid = fileSession ? fileSessionGuid : liveSessionGuid;
    properties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    properties.LogFileNameOffset = SESSION_LOG_FILE_OFFSET;
    properties.LoggerNameOffset = SESSION_LOGGER_NAME_OFFSET;
    properties.MaximumFileSize = kFileSessionMaxMegabytes;
    properties.LogFileMode = kStopSessionMode;
}

}  // namespace

BOOL StopTraceSession(BOOL fileSession)
{
    SessionBlock block;
    FillControlBlock(&block, fileSession);
    ULONG status = EtwControlTrace(0, fileSession ? FILE_SESSION_NAME : LIVE_SESSION_NAME,
                                   &block.properties, EVENT_TRACE_CONTROL_STOP);
    BOOL stopped = status == ERROR_SUCCESS || status == ERROR_WMI_INSTANCE_NOT_FOUND;
    if (!stopped)
        DebugTrace(L"ControlTrace 0x%08x", status);
    SetLastError(status);
    return stopped;
}

ULONG QueryTraceSession(BOOL fileSession, TraceSessionLosses* losses)
{
    SessionBlock block;
    FillControlBlock(&block, fileSession);
    ULONG status = EtwControlTrace(0, fileSession ? FILE_SESSION_NAME : LIVE_SESSION_NAME, &block.properties,
                                   EVENT_TRACE_CONTROL_QUERY);
    *losses = TraceSessionLosses{};
    if (status == ERROR_SUCCESS)
        *losses = {block.properties.EventsLost, block.properties.RealTimeBuffersLost,
                   block.properties.LogBuffersLost};
    return status;
}
