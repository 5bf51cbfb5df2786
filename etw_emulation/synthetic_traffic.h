// The synthetic traffic of etw_emulation/synthetic_script.h played through
// EtwEmuLogEvent: one event, or a background thread at a chosen rate. Only
// the timestamp (the current time) differs between runs.
#pragma once

#include "etw_emulation/synthetic_script.h"

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
