// The line store: the lines of the Live Tracing window, in liveState,
// guarded by liveState.storeLock. Live, it keeps the newest 50000 lines of
// the trace in a ring; viewing log files, it grows to hold every line read.
// Readers (GUI thread) take the lock, read sequence numbers
// totalCount - heldCount .. totalCount - 1 (slot s % slotCount) and never
// keep a text pointer after leaving it.
#pragma once

#include "live/live_state.h"

// GUI thread, while the window initialises and no producer exists; takes no
// lock. A ring of LIVE_SLOT_COUNT lines, or with `growing` a store that
// starts small and grows instead of dropping lines. FALSE +
// ERROR_NOT_ENOUGH_MEMORY when the slots cannot be allocated; last error 0
// on success.
BOOL CreateLineStore(BOOL growing = FALSE);

// Any thread, takes storeLock. Takes ownership of `text` (malloc'd) in every
// case: stores it or frees it. A null text adds nothing and takes no lock.
// Without a store the text is only freed; once the lock itself has been
// deleted it is not entered. A growing store that cannot grow drops the line.
void AppendLiveLine(const FILETIME* timestamp, DWORD processId, DWORD threadId,
                    BYTE level, DWORD isStatus, WCHAR* text);

// Any thread, takes storeLock once: appends `count` lines to a growing
// store, which then owns their texts. FALSE + ERROR_NOT_ENOUGH_MEMORY when
// it cannot grow (the texts are then freed, nothing is added), or without a
// store (texts freed too).
BOOL AppendHeldLines(const LiveLine* lines, DWORD count);

// Any thread. Adds a status line (level 0, the current time, this process
// and thread). An empty text or one of 512 units or more adds nothing.
void AddStatusLine(const WCHAR* format, ...);

// GUI thread, takes storeLock (none while it is not initialised). Frees
// every held line; totalCount stays.
void ClearLineStore();

// GUI thread, after the session was stopped and the consumer waited for.
// Deletes storeLock only when no consumer thread is recorded.
void DestroyLineStore();
