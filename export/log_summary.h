// What one persistent log file holds, read with the ETW consumer functions as
// the export reads it: its size, the events the export writes a line for
// (payload not empty, level above 0; the file's header event is not one),
// the first and last of them in file order, and what ETW lost while writing
// the file as its header records it. Used by the console program's status
// and bundle. One thread at a time: ProcessTrace calls the callback on the
// calling thread, which reaches the counts through a file-static record.
#pragma once

#include <windows.h>

struct LogFileSummary {
    ULONG64 fileBytes;
    ULONG64 events;
    FILETIME firstEvent, lastEvent;  // as the events carry them (UTC); zero without events
    ULONG eventsLost;                // the header's EventsLost
    ULONG buffersLost;               // the header's BuffersLost
};

// Fills `summary` (zeroed first). FALSE + last error when the file cannot be
// opened as a log; `fileBytes` is then still set when the file exists (a
// missing file fails with its own status, 2 or 3). What ProcessTrace met on
// the way is not examined: what was delivered counts, as in the export.
BOOL SummarizeLogFile(const WCHAR* path, LogFileSummary* summary);
