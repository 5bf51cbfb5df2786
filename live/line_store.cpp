#include "live/line_store.h"

#include <stdarg.h>
#include <stdlib.h>
#include <wchar.h>

#include "common/wide_format.h"

#define STATUS_TEXT_UNITS 512

#define GROWING_FIRST_SLOTS 65536u

// Frees every text of a slot array that no other thread can reach any more.
static void FreeDetachedSlots(LiveLine* slots, DWORD slotCount)
{
    if (slots == nullptr)
        return;
    for (DWORD i = 0; i < slotCount; ++i)
        free(slots[i].text);
    free(slots);
}

static BOOL IsErrorLine(BYTE level, DWORD isStatus)
{
    return isStatus == 0 && (level == 1 || level == 2);
}

BOOL CreateLineStore(BOOL growing)
{
    if (!liveState.storeLockReady) {
        InitializeCriticalSection(&liveState.storeLock);
        liveState.storeLockReady = TRUE;
    }
    DWORD slotCount = growing ? GROWING_FIRST_SLOTS : LIVE_SLOT_COUNT;
    LiveLine* slots = (LiveLine*)calloc(slotCount, sizeof(LiveLine));
    if (slots == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    liveState.slots = slots;
    liveState.slotCount = slotCount;
    liveState.slotsGrow = growing;
    liveState.totalCount = 0;
    liveState.heldCount = 0;
    liveState.errorCount = 0;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// Makes room for sequence numbers up to totalCount + count - 1 in a growing
// store, doubling the slots; the new ones hold no line. storeLock held.
static BOOL GrowSlots(ULONG64 count)
{
    ULONG64 need = liveState.totalCount + count;
    if (need <= liveState.slotCount)
        return TRUE;
    ULONG64 slotCount = liveState.slotCount;
    while (slotCount < need)
        slotCount *= 2;
    if (slotCount > MAXDWORD)
        return FALSE;
    LiveLine* slots = (LiveLine*)realloc(liveState.slots, (size_t)slotCount * sizeof(LiveLine));
    if (slots == nullptr)
        return FALSE;
    ZeroMemory(slots + liveState.slotCount, (size_t)(slotCount - liveState.slotCount) * sizeof(LiveLine));
    liveState.slots = slots;
    liveState.slotCount = (DWORD)slotCount;
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
    if (liveState.slots == nullptr || (liveState.slotsGrow && !GrowSlots(1))) {
        LeaveCriticalSection(&liveState.storeLock);
        free(text);
        return;
    }
    LiveLine* target = &liveState.slots[liveState.totalCount % liveState.slotCount];
    if (liveState.heldCount == liveState.slotCount) {
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

static void FreeTexts(const LiveLine* lines, DWORD count)
{
    for (DWORD i = 0; i < count; ++i)
        free(lines[i].text);
}

BOOL AppendHeldLines(const LiveLine* lines, DWORD count)
{
    if (!liveState.storeLockReady) {
        FreeTexts(lines, count);
        SetLastError(ERROR_INVALID_STATE);
        return FALSE;
    }
    EnterCriticalSection(&liveState.storeLock);
    BOOL stored = liveState.slots != nullptr && liveState.slotsGrow && GrowSlots(count);
    if (stored) {
        for (DWORD i = 0; i < count; ++i) {
            liveState.slots[(liveState.totalCount + i) % liveState.slotCount] = lines[i];
            if (IsErrorLine(lines[i].level, lines[i].isStatus))
                liveState.errorCount++;
        }
        liveState.heldCount += count;
        liveState.totalCount += count;
    }
    LeaveCriticalSection(&liveState.storeLock);
    if (!stored) {
        FreeTexts(lines, count);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
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
        for (DWORD i = 0; i < liveState.slotCount; ++i) {
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
    DWORD slotCount = liveState.slotCount;
    liveState.slots = nullptr;
    liveState.slotCount = 0;
    liveState.heldCount = 0;
    liveState.errorCount = 0;
    liveState.totalCount = 0;
    LeaveCriticalSection(&liveState.storeLock);
    // Outside the lock: a late consumer only finds slots null from now on.
    FreeDetachedSlots(slots, slotCount);

    // A consumer that outlived the window's wait may still enter the lock.
    if (liveState.consumerThread == nullptr) {
        DeleteCriticalSection(&liveState.storeLock);
        liveState.storeLockReady = FALSE;
    }
}
