// "Save the log": the persistent log files (Quorvel.etl, then Quorvel.etl.001
// to .008) converted into one UTF-16LE text file without byte-order mark. Per
// log file that opens: its path between two lines of 48 "=", then one line
// "yyyy-mm-dd;hh:mm:ss;text" per event (UTC), every line ending in CR LF.
// GUI thread only: ProcessTrace calls LogFileEventCallback on that thread.
#pragma once

#include <windows.h>
#include <evntrace.h>

#define EXPORT_CHUNK_UNITS  32768   // gathered per WriteFile: 64 KB
#define EXPORT_LOG_FILES    9       // the current file and .001 to .008

// An event whose time stamp is no calendar date is still written, with this
// date and time in place of its own.
#define EXPORT_NO_DATE      L"0000-00-00"
#define EXPORT_NO_TIME      L"00:00:00"

// The export in progress. The classic event callback receives only the event,
// so the output travels here.
struct LogExportState {
    HANDLE output = INVALID_HANDLE_VALUE;   // the export file during an export
    DWORD status = ERROR_SUCCESS;           // first failure; nothing is written after it
    const char* failedFile = nullptr;       // source file and line of the failed call
    int failedLine = 0;
    DWORD pendingUnits = 0;                 // gathered in `pending`, not written yet
    WCHAR pending[EXPORT_CHUNK_UNITS];
};
extern LogExportState logExport;

// Asks for the export file in the Save dialog owned by `owner` (no question
// before replacing a file) and writes it. A file that cannot be created or
// written is reported in the main dialog's error box, after the file was
// closed. Nothing happens when the user cancels.
void SaveLog(HWND owner);

// Creates or replaces `exportPath` and converts every log file into it.
// FALSE + last error when the file cannot be created or a write fails; the
// failing call is logExport.failedFile / failedLine. The file is closed
// before it returns, and logExport.output is INVALID_HANDLE_VALUE again.
BOOL WriteLogExport(const WCHAR* exportPath);

// Appends the banner and the events of one log file to the open export;
// nothing when the file cannot be opened as a log.
void ConvertLogFile(const WCHAR* path);

// The consumer's EventCallback: one line per event that has a payload and a
// level above 0; the text is the payload's UTF-16 units up to the first NUL.
void WINAPI LogFileEventCallback(PEVENT_TRACE event);

// Gathers units for the export file, writing every full chunk; does nothing
// once a write has failed.
void PutExportUnits(const WCHAR* units, size_t count);
// Writes what is gathered. FALSE once any write has failed.
BOOL FlushExport();
