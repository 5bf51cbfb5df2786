#include "live/line_store.h"

#include <stdarg.h>
#include <stdlib.h>
#include <wchar.h>

#include "common/wide_format.h"

#define STATUS_TEXT_UNITS 512

// Frees every text of a slot array that no other thread can reach any more.
static void FreeDetachedSlots(LiveLine* slots)
{
    if (slots == nullptr)
        return;
    for (DWORD i = 0; i < LIVE_SLOT_COUNT; ++i)
        free(slots[i].text);
    free(slots);
}

static BOOL IsErrorLine(BYTE level, DWORD isStatus)
{
    return isStatus == 0 && (level == 1 || level == 2);
}

BOOL CreateLineStore()
{
    if (!liveState.storeLockReady) {
        InitializeCriticalSection(&liveState.storeLock);
        liveState.storeLockReady = TRUE;
    }
    LiveLine* slots = (LiveLine*)calloc(LIVE_SLOT_COUNT, sizeof(LiveLine));
    if (slots == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    liveState.slots = slots;
    liveState.totalCount = 0;
    liveState.heldCount = 0;
    liveState.errorCount = 0;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

void AppendLiveLine(const FILETIME* timestamp, DWORD processId, DWORD threadId,
                    BYTE level, DWORD isStatus, WCHAR* text)
{
    if (text == nullptr)
        return;
    // Once a window is gone and no consumer is recorded, the lock itself has
    // been deleted; entering it then would be undefined. Only the GUI thread
    // can append at that point, the same thread that deleted it.
    if (!liveState.storeLockReady) {
        free(text);
        return;
    }

    WCHAR* dropped = nullptr;
    EnterCriticalSection(&liveState.storeLock);
    if (liveState.slots == nullptr) {
        LeaveCriticalSection(&liveState.storeLock);
        free(text);
        return;
    }
    LiveLine* target = &liveState.slots[liveState.totalCount % LIVE_SLOT_COUNT];
    if (liveState.heldCount == LIVE_SLOT_COUNT) {
        if (IsErrorLine(target->level, target->isStatus))
            liveState.errorCount--;
        // Freed after the lock is left; the slot is overwritten below.
        dropped = target->text;
        liveState.heldCount--;
    }
    target->timestamp = timestamp != nullptr ? *timestamp : FILETIME{};
    target->processId = processId;
    target->threadId = threadId;
    target->level = level;
    target->isStatus = isStatus;
    target->text = text;
    if (IsErrorLine(level, isStatus))
        liveState.errorCount++;
    liveState.heldCount++;
    liveState.totalCount++;
    LeaveCriticalSection(&liveState.storeLock);
    free(dropped);
}

void AddStatusLine(const WCHAR* format, ...)
{
    WCHAR buffer[STATUS_TEXT_UNITS];
    va_list args;
    va_start(args, format);
    int written = FormatTruncatingV(buffer, STATUS_TEXT_UNITS, format, args);
    va_end(args);
    // Negative: cut or bad format; a cut status line would mislead.
    if (written <= 0)
        return;

    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    AppendLiveLine(&now, GetCurrentProcessId(), GetCurrentThreadId(), 0, 1,
                   _wcsdup(buffer));
}

void ClearLineStore()
{
    if (!liveState.storeLockReady)
        return;
    EnterCriticalSection(&liveState.storeLock);
    if (liveState.slots != nullptr) {
        for (DWORD i = 0; i < LIVE_SLOT_COUNT; ++i) {
            free(liveState.slots[i].text);
            liveState.slots[i].text = nullptr;
        }
    }
    liveState.heldCount = 0;
    liveState.errorCount = 0;
    LeaveCriticalSection(&liveState.storeLock);
}

void DestroyLineStore()
{
    if (!liveState.storeLockReady)
        return;

    EnterCriticalSection(&liveState.storeLock);
    LiveLine* slots = liveState.slots;
    liveState.slots = nullptr;
    liveState.heldCount = 0;
    liveState.errorCount = 0;
    liveState.totalCount = 0;
    LeaveCriticalSection(&liveState.storeLock);
    // Outside the lock: a late consumer only finds slots null from now on.
    FreeDetachedSlots(slots);

    // A consumer that outlived the window's wait may still enter the lock.
    if (liveState.consumerThread == nullptr) {
        DeleteCriticalSection(&liveState.storeLock);
        liveState.storeLockReady = FALSE;
    }
}
