// The state of persistent tracing as "status" shows it and the bundle's
// manifest records it: the registration, the file session, the log files.
// Reads only; works without administrator rights as far as Windows lets
// each read through, every refused read being reported in its place.
#pragma once

#include <windows.h>

#include <string>

#include "export/log_export.h"
#include "export/log_summary.h"

#define LOG_FILE_NAME_UNITS 16  // "Quorvel.etl.008"

// The registration under HKEY_LOCAL_MACHINE, as far as it can be read.
struct RegistrationState {
    LONG status;  // 0 registered, 2 (ERROR_FILE_NOT_FOUND) not registered, else the failure
    ULONG providersWithLevel;  // provider subkeys of the table holding an "EnableLevel"
    ULONG level;               // the first of them
    BOOL levelsAgree;          // all of them hold that level
};

struct LogFileState {
    WCHAR name[LOG_FILE_NAME_UNITS];
    WCHAR path[MAX_PATH];
    DWORD status;  // SummarizeLogFile's: 0, or why the file is no readable log
    LogFileSummary summary;
};

struct PersistentState {
    RegistrationState registration;
    ULONG sessionStatus;  // QueryTraceSession's: 0 running, 4201 not running, else the failure
    ULONG sessionEventsLost;
    WCHAR logDirectory[MAX_PATH];
    LogFileState files[EXPORT_LOG_FILES];  // Quorvel.etl, then .001 to .008, those that exist
    ULONG fileCount;
};

// The log file names in their order: "Quorvel.etl", then ".001" to ".008"
// added, into LOG_FILE_NAME_UNITS units; `index` from 0 to 8.
void FormatLogFileName(int index, WCHAR* out);

// With `withFiles`, each log file is summarised (read to its end); without,
// `files` stays empty. FALSE + last error only when the log directory cannot
// be built.
BOOL ReadPersistentState(PersistentState* state, BOOL withFiles);

// "level 5 (Verbose)"; a level without a name as its number only.
void AppendLevelText(std::wstring* text, ULONG level);

void AppendStatusText(std::wstring* text, const PersistentState& state);
// One JSON object holding the registration, the session, the log directory
// and the files; nothing after its closing brace.
void AppendStatusJson(std::wstring* text, const PersistentState& state);
// The registration's and the session's members, "registration":{...},"session":{...}
void AppendRegistrationAndSessionJson(std::wstring* text, const PersistentState& state);
// One file as a JSON object; `sha256` (hex) is left out when null.
void AppendLogFileJson(std::wstring* text, const LogFileState& file, const WCHAR* sha256);
