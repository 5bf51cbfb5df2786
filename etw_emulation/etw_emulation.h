// In-process emulation of named ETW sessions behind the program's ETW seam
// (tracing/etw_seam.h), for the tests and the demo. It behaves as Windows
// documents classic ETW where the program can tell the difference: sessions
// addressed by name, providers enabled per session with level and flags,
// real-time consumers fed one event at a time on the ProcessTrace thread.
// Every function here may be called from any thread.
//
// Where Windows leaves a choice, the emulation does this:
// - EnableTrace on a nonzero handle of no running session: 6 ERROR_INVALID_HANDLE.
// - StartTrace with a name over 1024 characters: 87; a log file name running
//   past the block or over 1024 characters: 24. A session with a log file
//   creates it (replacing one there) and writes every event it takes into it
//   at once, one WriteFile per event, so a reader sees the file as it grows.
//   The file is shared for reading only while the session runs. Such a
//   session keeps no events for a future real-time consumer: the file is its
//   record. A failed write counts the event as lost.
// - ControlTrace with neither a name nor a handle: 87. Every control code
//   (QUERY and STOP alike) fills the block with the session's settings, names
//   and what it lost since it started: EventsLost counts the events a full
//   queue dropped (a consumer's undelivered events, or the events kept while
//   nobody listens; ETW_EMU_QUEUE_EVENTS each, or EtwEmuLimitQueue's bound)
//   and the events its log file could not take; RealTimeBuffersLost and
//   LogBuffersLost, buffers the emulation does not have, hold what
//   EtwEmuAddSessionLosses added. When a session with a log file stops, the
//   file's header gets its EventsLost and LogBuffersLost (as EventsLost and
//   BuffersLost), as Windows writes them.
// - OpenTrace: the classic EventCallback only (EVENT_RECORD mode: 50
//   ERROR_NOT_SUPPORTED). Time stamps are FILETIMEs in UTC unless
//   PROCESS_TRACE_MODE_RAW_TIMESTAMP (0x1000) is asked: then each is the
//   session clock's raw value, as Windows delivers it: for a session started
//   with Wnode.ClientContext 2 (system time) the FILETIME itself; for any
//   other clock (1, the performance counter, the program's and the default)
//   performance-counter ticks, (FILETIME - start) * QueryPerformanceFrequency
//   / 10^7, counted from the session's start (Windows counts from boot; no
//   consumer can rely on either origin). The start is the log file's start
//   time, or the real-time session's. Real time by LoggerName; without
//   PROCESS_TRACE_MODE_REAL_TIME, the log file LogFileName: opening it fails
//   with CreateFile's status (2 missing, 32 locked by another writer) or 1392
//   ERROR_FILE_CORRUPT when it is not a log of the format below. Success
//   fills LogfileHeader and leaves the last error untouched.
// - ProcessTrace of a log file: the header event (level 0, MofData a
//   TRACE_LOGFILE_HEADER, the session name and the file's path), then every
//   record in file order on the calling thread; returns 0 at the end of the
//   file (an incomplete last record, still being written, ends it), 1392 at a
//   damaged record, 1223 when CloseTrace came during it (checked before each
//   event). One handle per call.
// - ProcessTrace of a real-time session: the header event first, then the
//   events the session kept while nobody listened (first consumer only), then
//   live ones. Each running consumer receives every event. A stop (ControlTrace STOP or EtwEmuReset)
//   or CloseTrace lets it deliver what was already queued for it and return 0
//   or 1223 respectively, the first of the two deciding. A handle already in
//   ProcessTrace on another thread: 87. Closed during ProcessTrace, the handle
//   is released when ProcessTrace returns.
// - Recorded calls: ProcessTrace is recorded when it starts, with status 997
//   ERROR_IO_PENDING until it returns.
//
// Log file format (little-endian; every part starts 8-aligned):
// - file header, 64 bytes: magic "QvEmuEtl" (8 bytes, no terminator),
//   version 2 (ULONG), session name size in bytes (ULONG), start time
//   (FILETIME UTC, 8 bytes), LogFileMode (ULONG), MaximumFileSize (ULONG),
//   session GUID (16), the session's Wnode.ClientContext (ULONG), events
//   lost and buffers lost (ULONG each: what the session lost while writing
//   the file, as OpenTrace and the header event report them), 4 zero bytes;
//   then the session name, UTF-16 without terminator, padded with zeros to a
//   multiple of 8 bytes; EtwEmuWriteLogFile writes ClientContext 1;
// - one record per event, 48 bytes: marker 0x56455651 "QVEV" (ULONG),
//   payload size in bytes (ULONG, at most ETW_EMU_QUEUE_BYTES), provider GUID
//   (16), time stamp as logged (8), process id, thread id (ULONG each),
//   level (1 byte), 7 zero bytes; then the payload, padded with zeros to a
//   multiple of 8 bytes.
#pragma once

#include "tracing/etw_seam.h"

#define ETW_EMU_PROPERTIES_BYTES 4216

// Bound of every real-time queue (a session's events kept while no consumer
// listens, or one consumer's undelivered events): an event beyond either
// limit is dropped and counted by EtwEmuEventsLost, as ETW drops events when
// its buffers are full. Payloads count rounded up to 8 bytes.
#define ETW_EMU_QUEUE_EVENTS 1000000
#define ETW_EMU_QUEUE_BYTES  (64u * 1024 * 1024)

enum EtwEmuFunction {
    kEmuStartTrace,
    kEmuEnableTrace,
    kEmuControlTrace,
    kEmuOpenTrace,
    kEmuProcessTrace,
    kEmuCloseTrace,
    kEmuFunctionCount
};

// What one seam call received and what it returned.
struct EtwEmuCall {
    EtwEmuFunction function;
    WCHAR sessionName[1025];    // StartTrace, ControlTrace; OpenTrace's LoggerName
    BYTE properties[ETW_EMU_PROPERTIES_BYTES];  // the block as received, before the call wrote to it
    ULONG propertiesSize;       // bytes copied (min of Wnode.BufferSize and 4216); 0 for a null block
    TRACEHANDLE handle;         // handle passed in (EnableTrace, ControlTrace, ProcessTrace, CloseTrace) or returned (StartTrace, OpenTrace)
    ULONG enable;               // EnableTrace
    ULONG enableFlag;           // EnableTrace
    ULONG enableLevel;          // EnableTrace
    GUID provider;              // EnableTrace
    ULONG controlCode;          // ControlTrace
    ULONG logFileMode;          // OpenTrace's ProcessTraceMode
    ULONG status;               // status returned; OpenTrace: the last error it set, 0 on success
};

struct EtwEmuProvider {
    GUID guid;
    ULONG level;
    ULONG flags;
};

// Stops and forgets every session, call record and planned failure. A consumer
// blocked in ProcessTrace returns 0, as for a stopped session.
void EtwEmuReset();

// Makes the nth call (1-based, counted since the last reset) of `function`
// fail with `status` without any other effect. OpenTrace fails by returning
// INVALID_PROCESSTRACE_HANDLE with `status` as the last error; StartTrace
// sets the handle to 0 as any failing start does. At most 64 plans at once;
// further ones are ignored.
void EtwEmuFailCall(EtwEmuFunction function, ULONG nth, ULONG status);

size_t EtwEmuCallCount();
BOOL EtwEmuGetCall(size_t index, EtwEmuCall* out);

BOOL EtwEmuSessionRunning(LPCWSTR sessionName);

// Providers enabled on a running session, in the order they were enabled.
// Returns how many there are (may exceed `max`; only `max` are copied).
size_t EtwEmuEnabledProviders(LPCWSTR sessionName, EtwEmuProvider* out, size_t max);

// Provider side: logs one classic event. Every running session on which
// `provider` is enabled at `level` or above receives a copy (level 0 always
// passes). The payload is copied byte for byte, any length. Returns the
// number of sessions that took it; a full queue does not take it and counts
// it as lost.
ULONG EtwEmuLogEvent(const GUID* provider, UCHAR level, ULONG processId,
                     ULONG threadId, LONGLONG timestamp,
                     const void* payload, ULONG payloadBytes);

// Hands an event to the named session whatever its providers, as Windows
// does with its own header event. FALSE when no such session runs or its
// queue was full.
BOOL EtwEmuDeliverEvent(LPCWSTR sessionName, const GUID* provider, UCHAR level,
                        ULONG processId, ULONG threadId, LONGLONG timestamp,
                        const void* payload, ULONG payloadBytes);

// Waits until every event queued for the session has been passed to its
// consumer's callback and the callback returned: nothing is left queued, kept
// for a future consumer, or inside a callback. A running consumer's header
// event counts as queued until its callback returned. FALSE on timeout or
// when no session of that name runs (also when it stops during the wait).
// timeoutMs may be INFINITE. A consumer that has not entered ProcessTrace yet
// is not waited for (events logged before it arrives are, as kept events).
// Never from a callback of that session: the callback itself is undelivered.
BOOL EtwEmuWaitDelivered(LPCWSTR sessionName, DWORD timeoutMs);

// Number of threads blocked in ProcessTrace on the named session.
ULONG EtwEmuConsumerCount(LPCWSTR sessionName);

// Events a session dropped because its real-time queue was full.
ULONG64 EtwEmuEventsLost(LPCWSTR sessionName);

// Makes the running session's queues take at most `events` events each
// (ETW_EMU_QUEUE_EVENTS at most), so that a test overflows them soon. FALSE
// when no such session runs.
BOOL EtwEmuLimitQueue(LPCWSTR sessionName, ULONG events);

// Adds to what the running session reports lost, as Windows counts buffers
// the emulation does not have: EventsLost, RealTimeBuffersLost and
// LogBuffersLost. FALSE when no such session runs.
BOOL EtwEmuAddSessionLosses(LPCWSTR sessionName, ULONG64 events, ULONG64 realTimeBuffers, ULONG64 logBuffers);

// One event of a log file written by EtwEmuWriteLogFile.
struct EtwEmuFileEvent {
    GUID provider;
    UCHAR level;
    ULONG processId;
    ULONG threadId;
    LONGLONG timestamp;         // as ProcessTrace hands it on (a FILETIME in UTC)
    const void* payload;        // any bytes, any length (null when payloadBytes is 0)
    ULONG payloadBytes;
};

// Writes a log file holding exactly `events`, in order, as a session named
// `sessionName` would have written it; replaces an existing file. Returns a
// Win32 status.
ULONG EtwEmuWriteLogFile(LPCWSTR path, LPCWSTR sessionName, const EtwEmuFileEvent* events,
                         size_t count);

// Sets the events and buffers lost that the header of the log file at `path`
// records, as Windows does when a session lost some while writing it.
// Returns a Win32 status (1392 when the file is no emulated log).
ULONG EtwEmuSetLogFileLosses(LPCWSTR path, ULONG eventsLost, ULONG buffersLost);

// Plays what a restart does to a file session kept by an autologger with
// `fileMax` (1..16) older files: the running session of that name, if any,
// stops; `logFile`.<fileMax> (".%03u") is deleted, each older numbered file
// moves up one (.007 to .008, ...), the current `logFile` becomes .001; then
// a session that was running starts again on a new current file with the same
// settings and enabled providers, as Windows starts the autologger at boot.
// Missing files are skipped. Returns a Win32 status (the first failing
// rename's; the session then stays stopped).
ULONG EtwEmuPlayRestart(LPCWSTR sessionName, LPCWSTR logFile, ULONG fileMax);
