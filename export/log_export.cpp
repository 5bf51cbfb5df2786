// The export file and the log files in their order, without any window, so
// that the console program links it without the dialogs.
#include "export/log_export.h"

#include "common/wide_format.h"
#include "tracing/etw_seam.h"
#include "tracing/trace_session.h"

#define EXPORT_SUFFIX_UNITS 8

namespace {

const WCHAR kEqualsLine[] = L"================================================\r\n";
static_assert(sizeof(kEqualsLine) / sizeof(WCHAR) - 1 == 50, "48 equals signs and CR LF");

// Closes the export file on every way out of an export and puts the output
// handle back.
struct ExportFileGuard {
    ExportFileGuard() = default;
    ExportFileGuard(const ExportFileGuard&) = delete;
    ExportFileGuard& operator=(const ExportFileGuard&) = delete;
    ~ExportFileGuard()
    {
        CloseHandle(logExport.output);
        logExport.output = INVALID_HANDLE_VALUE;
    }
};

void PutText(const WCHAR* text)
{
    PutExportUnits(text, wcslen(text));
}

// The current file, then .001 to .008; a file whose path cannot be built is
// skipped, and a failed write ends the run.
void ConvertLogFiles()
{
    for (int i = 0; i < EXPORT_LOG_FILES && logExport.status == ERROR_SUCCESS; ++i) {
        WCHAR suffix[EXPORT_SUFFIX_UNITS] = L"";
        if (i > 0 && FormatBounded(suffix, EXPORT_SUFFIX_UNITS, L".%03d", i) <= 0)
            continue;
        WCHAR path[MAX_PATH];
        if (GetLogFilePath(path, suffix))
            ConvertLogFile(path);
    }
    FlushExport();
}

}  // namespace

void ConvertLogFile(const WCHAR* path)
{
    EVENT_TRACE_LOGFILEW logFile = {};
    logFile.LogFileName = const_cast<LPWSTR>(path);
    logFile.LoggerName = const_cast<LPWSTR>(FILE_SESSION_NAME);
    logFile.EventCallback = LogFileEventCallback;
    // ProcessTraceMode 0: a log file, classic records, time stamps as FILETIME.
    TRACEHANDLE trace = EtwOpenTrace(&logFile);
    if (trace == INVALID_PROCESSTRACE_HANDLE)
        return;  // missing, locked or not a log: no trace in the export
    PutText(kEqualsLine);
    PutText(path);
    PutText(L"\r\n");
    PutText(kEqualsLine);
    // Whatever ProcessTrace met on the way, what was delivered stays.
    EtwProcessTrace(&trace, 1, nullptr, nullptr);
    EtwCloseTrace(trace);
}

BOOL WriteLogExport(const WCHAR* exportPath)
{
    logExport.status = ERROR_SUCCESS;
    logExport.pendingUnits = 0;
    const int createLine = __LINE__ + 1;
    logExport.output = CreateFileW(exportPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (logExport.output == INVALID_HANDLE_VALUE) {
        logExport.status = GetLastError();
        logExport.failedFile = __FILE__;
        logExport.failedLine = createLine;
    } else {
        ExportFileGuard guard;
        ConvertLogFiles();
    }
    SetLastError(logExport.status);
    return logExport.status == ERROR_SUCCESS;
}
