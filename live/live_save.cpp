#include "live/live_save.h"

#include <commdlg.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "common/text_file_dialog.h"
#include "common/wide_format.h"
#include "live/line_format.h"
#include "live/live_state.h"

// Lines are formatted under storeLock into a chunk, and the chunk is written
// once the lock is left: the consumer, which takes the lock for every event,
// never waits for a disk. A chunk holds the longest event (64 KB) with its
// prefix; a longer line grows it for that line alone.
#define SAVE_CHUNK_UNITS    (64 * 1024)
#define SAVE_MESSAGE_UNITS  256
#define SAVE_NOTE_UNITS     128

struct SaveChunk {
    WCHAR* units;
    size_t capacity;
    size_t used;
};

static BOOL WriteChunk(HANDLE file, SaveChunk* chunk)
{
    if (chunk->used == 0)
        return TRUE;
    DWORD bytes = (DWORD)(chunk->used * sizeof(WCHAR));
    DWORD written = 0;
    if (!WriteFile(file, chunk->units, bytes, &written, nullptr))
        return FALSE;
    if (written != bytes) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    chunk->used = 0;
    return TRUE;
}

// Room for `count` more units; grows an empty chunk that is too small.
static BOOL HasRoom(SaveChunk* chunk, size_t count)
{
    if (chunk->used + count <= chunk->capacity)
        return TRUE;
    if (chunk->used != 0)
        return FALSE;
    WCHAR* units = (WCHAR*)realloc(chunk->units, count * sizeof(WCHAR));
    if (units == nullptr)
        return FALSE;
    chunk->units = units;
    chunk->capacity = count;
    return TRUE;
}

// With `blankBreaks`, CR and LF are written as blanks: a held line is one
// line of the file, as it is one line of the view.
static void PutUnits(SaveChunk* chunk, const WCHAR* text, size_t count, BOOL blankBreaks)
{
    WCHAR* out = chunk->units + chunk->used;
    memcpy(out, text, count * sizeof(WCHAR));
    for (size_t i = 0; blankBreaks && i < count; ++i) {
        if (out[i] == L'\r' || out[i] == L'\n')
            out[i] = L' ';
    }
    chunk->used += count;
}

// Puts one display line into the chunk; FALSE when it does not fit.
static BOOL PutLine(SaveChunk* chunk, const LiveLine* line)
{
    WCHAR prefix[LINE_PREFIX_UNITS];
    const WCHAR* body = line->text;
    FormatLinePrefix(line, prefix, &body);
    size_t prefixUnits = wcslen(prefix);
    size_t bodyUnits = wcslen(body);
    if (!HasRoom(chunk, prefixUnits + bodyUnits + 2))
        return FALSE;
    PutUnits(chunk, prefix, prefixUnits, FALSE);
    PutUnits(chunk, body, bodyUnits, TRUE);
    PutUnits(chunk, L"\r\n", 2, FALSE);
    return TRUE;
}

// Where lines dropped out of the store before they could be written (the
// disk was slower than the events), the file says so, as the window would.
static BOOL PutDroppedNote(SaveChunk* chunk, ULONG64 dropped)
{
    WCHAR text[SAVE_NOTE_UNITS];
    FormatTruncating(text, SAVE_NOTE_UNITS, L"%I64u line(s) dropped out of memory before they could be saved.",
                     dropped);
    LiveLine note = {};
    GetSystemTimeAsFileTime(&note.timestamp);
    note.processId = GetCurrentProcessId();
    note.threadId = GetCurrentThreadId();
    note.isStatus = 1;
    note.text = text;
    return PutLine(chunk, &note);
}

// Fills the chunk with the lines from sequence *next up to `end`, under
// storeLock, moving *next on. FALSE when the store is gone.
static BOOL FillChunk(SaveChunk* chunk, ULONG64* next, ULONG64 end)
{
    EnterCriticalSection(&liveState.storeLock);
    BOOL held = liveState.slots != nullptr;
    if (held) {
        ULONG64 oldest = liveState.totalCount - liveState.heldCount;
        ULONG64 resume = oldest < end ? oldest : end;
        if (*next < resume && PutDroppedNote(chunk, resume - *next))
            *next = resume;
        for (; *next >= oldest && *next < end; ++*next) {
            const LiveLine* line = HeldLine(*next);
            if (IsLineVisible(line) && !PutLine(chunk, line))
                break;
        }
    }
    LeaveCriticalSection(&liveState.storeLock);
    return held;
}

BOOL WriteVisibleLines(HANDLE file)
{
    SaveChunk chunk = {(WCHAR*)malloc(SAVE_CHUNK_UNITS * sizeof(WCHAR)), SAVE_CHUNK_UNITS, 0};
    if (chunk.units == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    const WCHAR byteOrderMark = 0xFEFF;
    PutUnits(&chunk, &byteOrderMark, 1, FALSE);

    // The lines held when the save starts; those that arrive meanwhile are
    // left to a later save.
    ULONG64 next = 0, end = 0;
    if (liveState.storeLockReady) {
        EnterCriticalSection(&liveState.storeLock);
        next = liveState.totalCount - liveState.heldCount;
        end = liveState.totalCount;
        LeaveCriticalSection(&liveState.storeLock);
    }
    BOOL ok = TRUE;
    for (;;) {
        ULONG64 before = next;
        BOOL wasEmpty = chunk.used == 0;
        BOOL held = next < end && FillChunk(&chunk, &next, end);
        if (!WriteChunk(file, &chunk)) {
            ok = FALSE;
            break;
        }
        if (!held || next >= end)
            break;
        // Nothing went into an empty chunk: a line that got no memory.
        if (next == before && wasEmpty) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            ok = FALSE;
            break;
        }
    }
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    free(chunk.units);
    SetLastError(error);
    return ok;
}

static void ReportFileError(HWND window, const WCHAR* format, DWORD error)
{
    WCHAR text[SAVE_MESSAGE_UNITS];
    FormatTruncating(text, SAVE_MESSAGE_UNITS, format, error);
    MessageBoxW(window, text, LIVE_CAPTION, MB_ICONERROR);
}

void SaveLiveLines(HWND window)
{
    WCHAR path[MAX_PATH];
    if (!AskTextFileName(window, OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST, path))
        return;

    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ReportFileError(window, L"Unable to create the file (0x%08X)", GetLastError());
        return;
    }
    // A write that fails (a full disk) leaves a cut file: the user must know.
    // The file is closed first so the message does not hold it open.
    BOOL written = WriteVisibleLines(file);
    DWORD error = written ? ERROR_SUCCESS : GetLastError();
    if (!CloseHandle(file) && written) {
        written = FALSE;
        error = GetLastError();
    }
    if (!written)
        ReportFileError(window, L"Unable to write the file (0x%08X)", error);
}
