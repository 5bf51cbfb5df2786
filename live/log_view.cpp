#include "live/log_view.h"

#include <evntrace.h>
#include <stdlib.h>
#include <wchar.h>

#include "common/system_text.h"
#include "common/wide_format.h"
#include "live/line_format.h"
#include "live/line_store.h"
#include "live/live_consumer.h"
#include "tracing/etw_seam.h"
#include "tracing/trace_session.h"

#define LOG_SUFFIX_UNITS    8
#define LOG_NOTE_UNITS      512
#define FIRST_STAGED_LINES  4096u

namespace {

// One file being read. The classic event callback receives only the event,
// so the reader's state travels here; one reader runs at a time (the window
// is single-instance).
struct FileReading {
    LiveLine* lines;            // the file's lines, handed to the store when it is read
    DWORD count;
    DWORD capacity;
    ULONG64 bytes;              // held by earlier files and these lines
    ULONG64 bound;
    FILETIME first, last;       // of these lines, in file order
    BOOL full;                  // the bound was reached
    BOOL noMemory;
    TRACEHANDLE trace;
    BOOL probing;               // only the first event's time is wanted
    BOOL probed;
    DWORD opened;               // files opened as logs
};

FileReading reading;
// The trace being processed, for StopLogReader; 0 when none. Whoever takes
// it out closes it.
volatile LONG64 openTrace;

void CloseOwnTrace()
{
    TRACEHANDLE trace = (TRACEHANDLE)InterlockedExchange64(&openTrace, 0);
    if (trace != 0)
        EtwCloseTrace(trace);
}

void WINAPI ReadEvent(PEVENT_TRACE event)
{
    if (liveState.stopReading || reading.full || reading.noMemory || (reading.probing && reading.probed))
        return;
    WCHAR* text = TakeEventMessage(event);
    if (text == nullptr)
        return;
    FILETIME time = {event->Header.TimeStamp.LowPart, (DWORD)event->Header.TimeStamp.HighPart};
    if (reading.probing) {
        free(text);
        reading.first = time;
        reading.probed = TRUE;
        CloseOwnTrace();
        return;
    }
    ULONG64 bytes = sizeof(LiveLine) + (wcslen(text) + 1) * sizeof(WCHAR);
    if (reading.bytes + bytes > reading.bound) {
        free(text);
        reading.full = TRUE;
        CloseOwnTrace();
        return;
    }
    if (reading.count == reading.capacity) {
        DWORD capacity = reading.capacity != 0 ? reading.capacity * 2 : FIRST_STAGED_LINES;
        LiveLine* lines = (LiveLine*)realloc(reading.lines, capacity * sizeof(LiveLine));
        if (lines == nullptr) {
            free(text);
            reading.noMemory = TRUE;
            CloseOwnTrace();
            return;
        }
        reading.lines = lines;
        reading.capacity = capacity;
    }
    reading.lines[reading.count++] = LiveLine{time, event->Header.ProcessId, event->Header.ThreadId,
                                              event->Header.Class.Level, 0, text};
    if (reading.count == 1)
        reading.first = time;
    reading.last = time;
    reading.bytes += bytes;
    InterlockedIncrement64((volatile LONG64*)&liveState.logEvents);
}

// Opens `path` and runs ProcessTrace over it with ReadEvent. FALSE + the
// opening's status when it cannot be opened; else the processing's status
// in *status and the header's losses.
BOOL ProcessLogFile(const WCHAR* path, ULONG* status, ULONG* eventsLost, ULONG* buffersLost)
{
    EVENT_TRACE_LOGFILEW logFile = {};
    logFile.LogFileName = const_cast<LPWSTR>(path);
    logFile.EventCallback = ReadEvent;
    // ProcessTraceMode 0: a log file, classic records, time stamps as FILETIME.
    TRACEHANDLE trace = EtwOpenTrace(&logFile);
    if (trace == INVALID_PROCESSTRACE_HANDLE)
        return FALSE;
    *eventsLost = logFile.LogfileHeader.EventsLost;
    *buffersLost = logFile.LogfileHeader.BuffersLost;
    InterlockedExchange64(&openTrace, (LONG64)trace);
    // A stop that came before the handle was there finds it now.
    if (liveState.stopReading)
        CloseOwnTrace();
    *status = EtwProcessTrace(&trace, 1, nullptr, nullptr);
    CloseOwnTrace();
    return TRUE;
}

// A status line stamped `time` (the current time when null).
void AddNote(const FILETIME* time, const WCHAR* format, ...)
{
    WCHAR text[LOG_NOTE_UNITS];
    va_list args;
    va_start(args, format);
    int written = FormatTruncatingV(text, LOG_NOTE_UNITS, format, args);
    va_end(args);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    if (written > 0)
        AppendLiveLine(time != nullptr ? time : &now, GetCurrentProcessId(), GetCurrentThreadId(), 0, 1,
                       _wcsdup(text));
}

void AddReadError(const WCHAR* what, const WCHAR* path, DWORD error)
{
    WCHAR description[SYSTEM_TEXT_UNITS];
    FormatSystemText(error, description, SYSTEM_TEXT_UNITS);
    AddNote(nullptr, L"%s %s (0x%08X - %s).", what, path, error, description);
}

// The file's status line, then its lines, in one go: the view shows a file
// once it is read whole.
void HandOverFile(const WCHAR* path, ULONG eventsLost, ULONG buffersLost)
{
    WCHAR losses[LOG_NOTE_UNITS] = L"";
    if (eventsLost != 0 || buffersLost != 0)
        FormatTruncating(losses, LOG_NOTE_UNITS, L" ETW lost %u event(s) and %u buffer(s) while writing it.",
                         eventsLost, buffersLost);
    if (reading.count == 0) {
        AddNote(nullptr, L"Log file %s: no event.%s", path, losses);
    } else {
        WCHAR first[LOCAL_STAMP_UNITS], last[LOCAL_STAMP_UNITS];
        FormatLocalStamp(&reading.first, TRUE, first, LOCAL_STAMP_UNITS);
        FormatLocalStamp(&reading.last, TRUE, last, LOCAL_STAMP_UNITS);
        AddNote(&reading.first, L"Log file %s: %u event(s) from %s to %s.%s", path, reading.count, first, last,
                losses);
    }
    if (reading.count != 0 && !AppendHeldLines(reading.lines, reading.count))
        reading.noMemory = TRUE;
    EnterCriticalSection(&liveState.storeLock);
    if (reading.count != 0) {
        BOOL firstFile = liveState.logLast.dwHighDateTime == 0 && liveState.logLast.dwLowDateTime == 0;
        if (firstFile || CompareFileTime(&reading.first, &liveState.logFirst) < 0)
            liveState.logFirst = reading.first;
        if (CompareFileTime(&reading.last, &liveState.logLast) > 0)
            liveState.logLast = reading.last;
    }
    LeaveCriticalSection(&liveState.storeLock);
    reading.count = 0;
}

void ReadLogFile(const WCHAR* path, BOOL quietIfMissing)
{
    reading.count = 0;
    reading.full = FALSE;
    ULONG status = ERROR_SUCCESS, eventsLost = 0, buffersLost = 0;
    if (!ProcessLogFile(path, &status, &eventsLost, &buffersLost)) {
        DWORD error = GetLastError();
        if (!quietIfMissing || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND))
            AddReadError(L"Unable to read the log file", path, error);
        return;
    }
    if (liveState.stopReading) {
        for (DWORD i = 0; i < reading.count; ++i)
            free(reading.lines[i].text);
        reading.count = 0;
        return;
    }
    ++reading.opened;
    HandOverFile(path, eventsLost, buffersLost);
    // A close of our own (the bound, no memory) ends ProcessTrace as cancelled.
    if (status != ERROR_SUCCESS && !(status == ERROR_CANCELLED && (reading.full || reading.noMemory)))
        AddReadError(L"Reading stopped part way through the log file", path, status);
}

// The files that cannot be opened first, to be named at once; then the
// others in the order of their first events; files without events last. Ties
// keep the order given.
struct OrderedFile {
    const WCHAR* path;
    DWORD position;
    int rank;               // 0 not opened, 1 with events, 2 without
    FILETIME first;
};

int CompareFirstEvents(const void* a, const void* b)
{
    const OrderedFile* left = (const OrderedFile*)a;
    const OrderedFile* right = (const OrderedFile*)b;
    if (left->rank != right->rank)
        return left->rank - right->rank;
    int order = left->rank == 1 ? CompareFileTime(&left->first, &right->first) : 0;
    if (order != 0)
        return order;
    return left->position < right->position ? -1 : 1;
}

void ProbeFirstEvent(OrderedFile* file)
{
    reading.probing = TRUE;
    reading.probed = FALSE;
    ULONG status, eventsLost, buffersLost;
    BOOL opened = ProcessLogFile(file->path, &status, &eventsLost, &buffersLost);
    file->rank = !opened ? 0 : (reading.probed ? 1 : 2);
    file->first = reading.first;
    reading.probing = FALSE;
}

void ReadInOrderOfFirstEvents(const LogViewSource* source)
{
    OrderedFile* files = (OrderedFile*)calloc(source->count, sizeof(OrderedFile));
    if (files == nullptr) {
        AddNote(nullptr, L"Not enough memory to read the log files.");
        return;
    }
    for (DWORD i = 0; i < source->count; ++i) {
        files[i].path = source->paths[i];
        files[i].position = i;
        // One file needs no order: it is opened once.
        if (source->count > 1 && !liveState.stopReading)
            ProbeFirstEvent(&files[i]);
    }
    qsort(files, source->count, sizeof(OrderedFile), CompareFirstEvents);
    for (DWORD i = 0; i < source->count && !liveState.stopReading && !reading.full && !reading.noMemory; ++i)
        ReadLogFile(files[i].path, FALSE);
    free(files);
}

}  // namespace

DWORD WINAPI LogReaderThreadProc(LPVOID parameter)
{
    const LogViewSource* source = (const LogViewSource*)parameter;
    reading = FileReading{};
    reading.bound = source->byteBound != 0 ? source->byteBound : LOG_VIEW_BYTE_BOUND;
    if (source->persistent) {
        for (DWORD i = 0; i < source->count && !liveState.stopReading && !reading.full && !reading.noMemory; ++i)
            ReadLogFile(source->paths[i], TRUE);
        // The files' folder, from the current file's path (the last).
        if (reading.opened == 0 && source->count != 0) {
            const WCHAR* path = source->paths[source->count - 1];
            const WCHAR* name = wcsrchr(path, L'\\');
            AddNote(nullptr, L"No log file in %.*s.", name != nullptr ? (int)(name - path) : 0, path);
        }
    } else {
        ReadInOrderOfFirstEvents(source);
    }
    if (reading.full) {
        WCHAR last[LOCAL_STAMP_UNITS];
        FormatLocalStamp(&reading.last, TRUE, last, LOCAL_STAMP_UNITS);
        AddNote(nullptr, L"The window holds at most %I64u MB of lines: the events after %s are not shown.",
                reading.bound >> 20, last);
    } else if (reading.noMemory) {
        AddNote(nullptr, L"Not enough memory: the events after the last line shown are not shown.");
    }
    free(reading.lines);
    reading = FileReading{};
    EnterCriticalSection(&liveState.storeLock);
    liveState.logRead = TRUE;
    LeaveCriticalSection(&liveState.storeLock);
    return 0;
}

void StopLogReader()
{
    InterlockedExchange(&liveState.stopReading, TRUE);
    CloseOwnTrace();
}

BOOL GetPersistentLogPaths(WCHAR (*paths)[MAX_PATH])
{
    for (int i = 0; i < LOG_VIEW_PERSISTENT_FILES; ++i) {
        int number = LOG_VIEW_PERSISTENT_FILES - 1 - i;
        WCHAR suffix[LOG_SUFFIX_UNITS] = L"";
        if (number > 0 && FormatBounded(suffix, LOG_SUFFIX_UNITS, L".%03d", number) <= 0)
            return FALSE;
        if (!GetLogFilePath(paths[i], suffix))
            return FALSE;
    }
    return TRUE;
}
