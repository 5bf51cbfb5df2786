// The two named ETW sessions, the provider table and the log paths.
// All operations: GUI thread; FALSE + the thread's last error (0 on success).
#pragma once

#include <windows.h>

#define FILE_SESSION_NAME   L"Quorvel"
#define LIVE_SESSION_NAME   L"QuorvelLive"
#define PROVIDER_COUNT      6

// Properties block of every start and stop: EVENT_TRACE_PROPERTIES, then
// room for the log file name and the session name, 1024 units each.
#define SESSION_BLOCK_BYTES         4216
#define SESSION_LOG_FILE_OFFSET     120
#define SESSION_LOGGER_NAME_OFFSET  2168

extern const GUID fileSessionGuid;
extern const GUID liveSessionGuid;
// The Quorvel components' providers, in the order they are enabled and
// registered. Read-only; the consumer thread reads it too.
extern const GUID providerTable[PROVIDER_COUNT];

// Log directory "<Windows>\System32\LogFiles\WMI" into `out` (MAX_PATH units).
BOOL GetLogDirectory(WCHAR* out);
// Log file "<log directory>\Quorvel.etl<suffix>" into `out` (MAX_PATH units);
// a null suffix means the current file.
BOOL GetLogFilePath(WCHAR* out, const WCHAR* suffix);

// Starts the file session (fileSession TRUE) or the live session and enables
// every provider of the table on it at `level`. Nothing is rolled back.
BOOL StartTraceSession(BOOL fileSession, ULONG level);
// Stops a session by name. Succeeds when none runs; the last error is then
// 4201 (ERROR_WMI_INSTANCE_NOT_FOUND).
BOOL StopTraceSession(BOOL fileSession);
// What ETW lost of a session's events since it started.
struct TraceSessionLosses {
    ULONG eventsLost;           // not logged: no buffer was free
    ULONG realTimeBuffersLost;  // dropped whole: the real-time consumer fell behind
    ULONG logBuffersLost;       // not written to the log file
};

// Asks ETW about the file session or the live session without changing it
// (EVENT_TRACE_CONTROL_QUERY by name, the block of a stop). Returns the
// query's status: 0 while the session runs, with its losses so far in
// *losses (zeroed otherwise); 4201 (ERROR_WMI_INSTANCE_NOT_FOUND) when it
// does not run; else the failure (5 without the right to ask). Any thread.
ULONG QueryTraceSession(BOOL fileSession, TraceSessionLosses* losses);
