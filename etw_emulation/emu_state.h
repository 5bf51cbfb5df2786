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
    ULONG64 eventsLost;
    std::vector<EtwEmuProvider> providers;  // in enable order
    std::vector<EmuConsumer*> consumers;    // in ProcessTrace on it, draining ones included
    EmuQueue backlog;                       // logged while no consumer listens
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

// Queues the event on every listening consumer of the session, or on its
// backlog while none listens. FALSE when every queue it tried was full (the
// loss is counted).
BOOL SessionEnqueue(EmuSession* session, const EmuEvent* event, const void* payload);
// Ends a consumer's processing after it drained its queue; the first reason wins.
void EndConsumer(EmuConsumer* consumer, ULONG status);
// Removes and frees the session; its consumers drain and return 0.
void StopSession(EmuSession* session);
// Events queued on the session or in a consumer's callback right now.
size_t SessionOutstanding(const EmuSession* session);
// Wakes EtwEmuWaitDelivered waiters so they re-check.
void NotifyDelivered();
