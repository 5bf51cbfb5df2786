// The line store: the newest 50000 lines of the live trace, in liveState,
// guarded by liveState.storeLock. Readers (GUI thread) take the lock, read
// sequence numbers totalCount - heldCount .. totalCount - 1 (slot s % 50000)
// and never keep a text pointer after leaving it.
#pragma once

#include "live/live_state.h"

// GUI thread, while the window initialises and no producer exists; takes no
// lock. FALSE + ERROR_NOT_ENOUGH_MEMORY when the slots cannot be allocated;
// last error 0 on success.
BOOL CreateLineStore();

// Any thread, takes storeLock. Takes ownership of `text` (malloc'd) in every
// case: stores it or frees it. A null text adds nothing and takes no lock.
// Without a store the text is only freed; once the lock itself has been
// deleted it is not entered.
void AppendLiveLine(const FILETIME* timestamp, DWORD processId, DWORD threadId,
                    BYTE level, DWORD isStatus, WCHAR* text);

// Any thread. Adds a status line (level 0, the current time, this process
// and thread). An empty text or one of 512 units or more adds nothing.
void AddStatusLine(const WCHAR* format, ...);

// GUI thread, takes storeLock (none while it is not initialised). Frees
// every held line; totalCount stays.
void ClearLineStore();

// GUI thread, after the session was stopped and the consumer waited for.
// Deletes storeLock only when no consumer thread is recorded.
void DestroyLineStore();
