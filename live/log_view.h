// The tracing window's log mode: log files read into the line store by a
// reader thread instead of a live session, each file's lines behind a status
// line that names it.
#pragma once

#include <windows.h>

// What the window holds at most when it views log files, line records and
// texts together: three times a full persistent log (nine files of 64 MB).
#define LOG_VIEW_BYTE_BOUND         (1536ull * 1024 * 1024)
#define LOG_VIEW_PERSISTENT_FILES   9

// What the window reads. Owned by whoever opens the window; outlives it.
struct LogViewSource {
    const WCHAR* const* paths;  // full paths
    DWORD count;
    // The persistent log: the files in the order given (oldest first), a
    // missing one skipped without a word. Otherwise the files are read in
    // the order of their first events, and a missing one is named.
    BOOL persistent;
    ULONG64 byteBound;          // 0: LOG_VIEW_BYTE_BOUND
};

// The reader thread, started by the window with a LogViewSource*. Reads
// every file into the line store; a file that cannot be read, a reading that
// stops part way and the bound, when it cuts, each leave a status line.
// Sets liveState.logRead at the end. Always returns 0.
DWORD WINAPI LogReaderThreadProc(LPVOID source);

// Makes a running reader end soon: the file being read is closed and no
// other is opened. Any thread.
void StopLogReader();

// The persistent log's files, oldest first: Quorvel.etl.008 down to .001,
// then Quorvel.etl, into LOG_VIEW_PERSISTENT_FILES buffers of MAX_PATH.
// FALSE + last error when the paths cannot be built.
BOOL GetPersistentLogPaths(WCHAR (*paths)[MAX_PATH]);
