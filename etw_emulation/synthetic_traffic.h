// Synthetic traffic of the six Quorvel providers (providerTable of
// tracing/trace_session.h), logged through EtwEmuLogEvent as the virtual
// smart-card stack would log it: reader enumeration, card insertion and
// removal, ATRs, PIN verification, certificate reads and logon steps, at
// levels 1..5 (mostly 4 and 5), from a few fake processes and threads.
//
// The traffic is a fixed sequence: event number `index` is always the same
// provider, level, process, thread and text (a seeded hash of the index), so
// a test can compute what a consumer must have received. Only the timestamp
// (the current time) differs between runs.
#pragma once

#include <windows.h>

// Text buffer of one event; the longest message is well below it.
#define SYNTHETIC_TEXT_UNITS 512

struct SyntheticEvent {
    ULONG providerIndex;        // into providerTable
    UCHAR level;                // 1..5
    ULONG processId;
    ULONG threadId;
    ULONG textLength;           // characters, terminator excluded
    WCHAR text[SYNTHETIC_TEXT_UNITS];   // "origin(line) : text" or a bare text
};

// Fills `out` with event number `index` of the sequence. Any thread.
void DescribeSyntheticEvent(ULONG64 index, SyntheticEvent* out);

// Logs event number `index` now, on the calling thread, stamped with the
// current time. The payload is the UTF-16 text with its terminator, as a
// provider counting the terminator writes it: (textLength + 1) * 2 bytes.
// Returns EtwEmuLogEvent's count of sessions that took it. Any thread.
ULONG LogSyntheticEvent(ULONG64 index);

// Starts a background thread that logs the sequence from index 0 at
// `eventsPerSecond` (0: as fast as it can) until StopSyntheticTraffic.
// FALSE + last error: 170 ERROR_BUSY when already running, or the failure of
// creating the thread; last error 0 on success.
// Start and Stop: one controlling thread, never concurrently with each other.
BOOL StartSyntheticTraffic(ULONG eventsPerSecond);

// Stops the thread and waits until it has ended; nothing is logged afterwards.
// Does nothing when not running.
void StopSyntheticTraffic();

// Events the current or last run handed to EtwEmuLogEvent, taken or not
// (indices 0 .. count-1). Exact once StopSyntheticTraffic returned. Any thread.
ULONG64 SyntheticEventsLogged();
