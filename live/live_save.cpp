#include "live/live_save.h"

#include <commdlg.h>
#include <string.h>
#include <wchar.h>

#include "common/wide_format.h"
#include "live/line_format.h"
#include "live/live_state.h"
#include "live/live_window.h"

#define SAVE_CHUNK_UNITS    8192
#define SAVE_MESSAGE_UNITS  256

// Lines are gathered into one chunk per WriteFile: the file is written while
// storeLock is held, and the consumer waits for it.
struct SaveWriter {
    HANDLE file;
    DWORD used;
    WCHAR units[SAVE_CHUNK_UNITS];
};

static BOOL FlushUnits(SaveWriter* writer)
{
    if (writer->used == 0)
        return TRUE;
    DWORD bytes = writer->used * sizeof(WCHAR);
    DWORD written = 0;
    if (!WriteFile(writer->file, writer->units, bytes, &written, nullptr))
        return FALSE;
    if (written != bytes) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    writer->used = 0;
    return TRUE;
}

// With `blankBreaks`, CR and LF are written as blanks: a held line is one
// line of the file, as it is one line of the view.
static BOOL PutUnits(SaveWriter* writer, const WCHAR* text, size_t count, BOOL blankBreaks = FALSE)
{
    while (count > 0) {
        if (writer->used == SAVE_CHUNK_UNITS && !FlushUnits(writer))
            return FALSE;
        size_t room = SAVE_CHUNK_UNITS - writer->used;
        size_t n = count < room ? count : room;
        WCHAR* out = writer->units + writer->used;
        memcpy(out, text, n * sizeof(WCHAR));
        for (size_t i = 0; blankBreaks && i < n; ++i) {
            if (out[i] == L'\r' || out[i] == L'\n')
                out[i] = L' ';
        }
        writer->used += (DWORD)n;
        text += n;
        count -= n;
    }
    return TRUE;
}

static BOOL PutHeldLines(SaveWriter* writer)
{
    if (liveState.slots == nullptr)
        return TRUE;
    WCHAR prefix[LINE_PREFIX_UNITS];
    for (ULONG64 sequence = liveState.totalCount - liveState.heldCount;
         sequence < liveState.totalCount; ++sequence) {
        const LiveLine* line = &liveState.slots[sequence % LIVE_SLOT_COUNT];
        if (!IsLineVisible(line))
            continue;
        const WCHAR* body = line->text;
        FormatLinePrefix(line, prefix, &body);
        if (!PutUnits(writer, prefix, wcslen(prefix)) || !PutUnits(writer, body, wcslen(body), TRUE) ||
            !PutUnits(writer, L"\r\n", 2))
            return FALSE;
    }
    return TRUE;
}

BOOL WriteVisibleLines(HANDLE file)
{
    SaveWriter writer;
    writer.file = file;
    writer.used = 0;
    const WCHAR byteOrderMark = 0xFEFF;
    PutUnits(&writer, &byteOrderMark, 1);

    BOOL ok = TRUE;
    if (liveState.storeLockReady) {
        EnterCriticalSection(&liveState.storeLock);
        ok = PutHeldLines(&writer) && FlushUnits(&writer);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        LeaveCriticalSection(&liveState.storeLock);
        SetLastError(error);
    } else {
        ok = FlushUnits(&writer);
    }
    if (ok)
        SetLastError(ERROR_SUCCESS);
    return ok;
}

static void ReportFileError(HWND window, const WCHAR* format, DWORD error)
{
    WCHAR text[SAVE_MESSAGE_UNITS];
    FormatTruncating(text, SAVE_MESSAGE_UNITS, format, error);
    ShowLiveMessage(window, text, MB_ICONERROR);
}

void SaveLiveLines(HWND window)
{
    static const WCHAR kFilter[] = L"Text file\0*.txt\0*.*\0";
    WCHAR path[MAX_PATH] = L"";
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = window;
    dialog.lpstrFilter = kFilter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrDefExt = L"txt";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
    if (!GetSaveFileNameW(&dialog))
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
