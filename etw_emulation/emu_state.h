// Internal to the emulation: the one process-wide record and the helpers that
// the seam functions and the test-facing API share. Every helper here expects
// the caller to hold emu.lock (EmuAcquire) unless its comment says otherwise.
#pragma once

#include <vector>

#include "etw_emulation/etw_emulation.h"

#define EMU_NAME_UNITS   1025   // 1024 characters and the terminator
#define EMU_MAX_SESSIONS 64     // Windows' limit on loggers running at once
#define EMU_MAX_PLANS    64

// One queued event. Its payload lives in the owning queue's byte buffer at
// `offset`, 8-aligned like ETW's MOF data, so a consumer may read it as WCHARs.
struct EmuEvent {
    GUID provider;
    LONGLONG timestamp;
    ULONG processId;
    ULONG threadId;
    ULONG offset;
    ULONG length;
    UCHAR level;
};

struct EmuQueue {
    std::vector<EmuEvent> events;
    std::vector<BYTE> bytes;
};

struct EmuSession;

// The emulation's own log file format, documented in etw_emulation.h: a file
// header, then one record per event, each followed by its payload padded with
// zeros to 8 bytes. Little-endian, as written by this process.
#define EMU_LOG_MAGIC          "QvEmuEtl"
#define EMU_LOG_VERSION        2
#define EMU_LOG_RECORD_MARKER  0x56455651u   // "QVEV"

struct EmuLogFileHeader {
    char magic[8];              // EMU_LOG_MAGIC, no terminator
    ULONG version;              // EMU_LOG_VERSION
    ULONG nameBytes;            // session name that follows, UTF-16 without terminator
    LONGLONG startTime;         // FILETIME (UTC) at which the file was started
    ULONG logFileMode;
    ULONG maximumFileSize;
    GUID sessionGuid;
    ULONG clientContext;        // the session's clock, as in Wnode.ClientContext
    ULONG eventsLost;           // what the session lost while writing the file,
    ULONG buffersLost;          // as OpenTrace reports them in LogfileHeader
    ULONG reserved;
};
static_assert(sizeof(EmuLogFileHeader) == 64, "log file header layout");

struct EmuLogRecord {
    ULONG marker;               // EMU_LOG_RECORD_MARKER
    ULONG payloadBytes;
    GUID provider;
    LONGLONG timestamp;
    ULONG processId;
    ULONG threadId;
    UCHAR level;
    UCHAR reserved[7];
};
static_assert(sizeof(EmuLogRecord) == 48, "log record layout");

// The header event that starts every delivery: a TRACE_LOGFILE_HEADER
// followed by the session name and the log file name (empty for real time).
struct HeaderEvent {
    EmuEvent event;
    union {
        TRACE_LOGFILE_HEADER header;
        BYTE bytes[sizeof(TRACE_LOGFILE_HEADER) + 2 * EMU_NAME_UNITS * sizeof(WCHAR)];
    } payload;
};

struct EmuConsumer {
    EmuConsumer* next;                  // emu.consumers list
    TRACEHANDLE handle;
    WCHAR loggerName[EMU_NAME_UNITS];
    PEVENT_CALLBACK callback;           // fixed at OpenTrace, read without the lock
    EmuSession* session;                // set while in ProcessTrace on a running session
    BOOL processing;
    BOOL ending;                        // stop or close seen: drain the queue, then return endStatus
    ULONG endStatus;
    BOOL closePending;                  // closed during ProcessTrace: freed when ProcessTrace returns
    BOOL waiting;                       // asleep on `wake`
    volatile LONG cancelled;            // closed during ProcessTrace of a log file
    HANDLE logFile;                     // open log file of a file consumer; null for real time
    EmuLogFileHeader fileHeader;        // that file's header, read at OpenTrace
    WCHAR fileSessionName[EMU_NAME_UNITS];  // the session name the file holds
    WCHAR logFileName[EMU_NAME_UNITS];  // the path opened
    BOOL rawTimestamps;                 // PROCESS_TRACE_MODE_RAW_TIMESTAMP asked at OpenTrace
    LONGLONG clockStart;                // the session's start (FILETIME), for raw time stamps
    ULONG clientContext;                // the session's clock, for raw time stamps
    size_t inFlight;                    // taken off the queue, callback not yet returned
    EmuQueue queue;
    CONDITION_VARIABLE wake;
};

struct EmuSession {
    WCHAR name[EMU_NAME_UNITS];
    WCHAR logFile[EMU_NAME_UNITS];      // empty for a real-time-only session
    GUID guid;
    TRACEHANDLE handle;
    ULONG logFileMode;
    ULONG maximumFileSize;
    ULONG clientContext;
    LONGLONG startTime;                 // FILETIME (UTC) of the start
    ULONG64 eventsLost;                 // dropped at a full queue, or not written to the file
    ULONG64 realTimeBuffersLost;        // reported by EtwEmuAddSessionLosses only
    ULONG64 logBuffersLost;             // likewise
    ULONG queueBound;                   // events a consumer's queue or the backlog takes
    std::vector<EtwEmuProvider> providers;  // in enable order
    std::vector<EmuConsumer*> consumers;    // in ProcessTrace on it, draining ones included
    EmuQueue backlog;                       // logged while no consumer listens (real time only)
    HANDLE logHandle;                       // the log file being written; null without one
    std::vector<BYTE> logRecord;            // one record and its payload, reused
};

struct EmuFailPlan {
    EtwEmuFunction function;
    ULONG nth;
    ULONG status;
};

// Zero is the valid initial state of every field (SRWLOCK_INIT and
// CONDITION_VARIABLE_INIT are zero), and nothing here has a destructor, so
// consumer threads still running at process exit never meet a destroyed lock.
struct EmuState {
    SRWLOCK lock;
    CONDITION_VARIABLE delivered;       // EtwEmuWaitDelivered sleeps here
    ULONG deliveryWaiters;
    EmuSession* sessions[EMU_MAX_SESSIONS];  // packed, sessionCount used
    ULONG sessionCount;
    EmuConsumer* consumers;
    ULONG64 lastHandle;                 // never reset, so stale handles never alias
    EtwEmuCall* calls;
    size_t callCount;
    size_t callCapacity;
    ULONG callGeneration;               // bumped by reset; guards late status updates
    ULONG callsByFunction[kEmuFunctionCount];
    EmuFailPlan plans[EMU_MAX_PLANS];
    ULONG planCount;
};

extern EmuState emu;

void EmuAcquire();
void EmuRelease();

// Case-insensitive, as Windows compares session names. Any thread.
BOOL SameName(LPCWSTR a, LPCWSTR b);
// Copies at most EMU_NAME_UNITS - 1 characters of `source` (null: empty). Any thread.
void CopyName(WCHAR* out, LPCWSTR source);

TRACEHANDLE NewHandle();
EmuSession* FindSessionByName(LPCWSTR name);
EmuSession* FindSessionByHandle(TRACEHANDLE handle);
EmuSession* FindSessionByGuid(const GUID* guid);
EmuSession* FindSessionByLogFile(LPCWSTR path);
EmuConsumer* FindConsumer(TRACEHANDLE handle);

// Appends a zeroed record of `function` and returns it; valid until the next
// append or reset.
EtwEmuCall* AppendCall(EtwEmuFunction function);
// Sets the status of record `index` unless a reset forgot it meanwhile.
void SetCallStatus(size_t index, ULONG generation, ULONG status);
// Copies min(Wnode.BufferSize, ETW_EMU_PROPERTIES_BYTES) bytes of the block.
void RecordProperties(EtwEmuCall* call, const EVENT_TRACE_PROPERTIES* properties);
// Counts this call of `function`; TRUE with the status when a plan fails it.
BOOL TakePlannedFailure(EtwEmuFunction function, ULONG* status);

// Creates and registers a running session (no seam call is recorded); its
// log file, if any, is created with its header. Null with *status set when
// the file cannot be created.
EmuSession* CreateSession(LPCWSTR name, LPCWSTR logFile, const GUID* guid, ULONG logFileMode,
                          ULONG maximumFileSize, ULONG clientContext, ULONG* status);

// Writes the event to the session's log file, if it has one, and queues it on
// every listening consumer, or on its backlog while none listens (a session
// with a log file keeps no backlog: the file is its record). FALSE when
// neither the file nor any queue took it (the loss is counted).
BOOL SessionEnqueue(EmuSession* session, const EmuEvent* event, const void* payload);
// Ends a consumer's processing after it drained its queue; the first reason wins.
void EndConsumer(EmuConsumer* consumer, ULONG status);
// Removes and frees the session; its consumers drain and return 0.
void StopSession(EmuSession* session);
// Events queued on the session or in a consumer's callback right now.
size_t SessionOutstanding(const EmuSession* session);
// Wakes EtwEmuWaitDelivered waiters so they re-check.
void NotifyDelivered();

// The classic record of a queued event whose payload lies at `base` + offset,
// its time stamp as `consumer` asked for it. Any thread.
void FillEventTrace(EVENT_TRACE* out, const EmuEvent* event, const BYTE* base,
                    const EmuConsumer* consumer);
// The header event of a session or a log file. Any thread.
void BuildHeaderEvent(LPCWSTR sessionName, LPCWSTR logFileName, ULONG logFileMode,
                      ULONG maximumFileSize, LONGLONG startTime, HeaderEvent* out);
LONGLONG CurrentFileTime();

// Log files (emu_log_file.cpp). Creates `path` (replacing it) with a file
// header; *file is the open handle, shared for reading only. Win32 status.
ULONG CreateEmuLogFile(LPCWSTR path, LPCWSTR sessionName, const GUID* guid, ULONG logFileMode,
                       ULONG maximumFileSize, ULONG clientContext, HANDLE* file);
// Puts the losses into the header of an open log file (read and write
// access), leaving the file pointer at its end. Returns a Win32 status.
ULONG WriteEmuLogLosses(HANDLE file, ULONG64 eventsLost, ULONG64 buffersLost);
// Appends one record with one WriteFile, so a reader sees it at once. FALSE
// when the write failed.
BOOL WriteEmuLogRecord(HANDLE file, std::vector<BYTE>* scratch, const EmuEvent* event,
                       const void* payload);
// OpenTrace of a log file: opens and checks it and fills the consumer's file
// fields. Win32 status (2, 32, 1392, ...). Any thread, no lock needed.
ULONG OpenEmuLogFile(EmuConsumer* consumer, LPCWSTR path);
// The header event of the log file a consumer opened, with the losses its
// header records. Any thread.
void BuildLogFileHeaderEvent(const EmuConsumer* consumer, HeaderEvent* out);
// ProcessTrace of a log file, without emu.lock: the header event, then every
// record in order. 0 at the end of the file, 1223 after CloseTrace, 1392 at a
// damaged record, or a read failure.
ULONG ReadEmuLogFile(EmuConsumer* consumer);
