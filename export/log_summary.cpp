#include "export/log_summary.h"

#include <evntrace.h>

#include "tracing/etw_seam.h"
#include "tracing/trace_session.h"

namespace {

// The summary being filled: the classic event callback receives only the event.
LogFileSummary* summaryInProgress;

void WINAPI SummaryEventCallback(PEVENT_TRACE event)
{
    // The export's filter, so that the count is the export's line count.
    if (event == nullptr || event->MofLength == 0 || event->MofData == nullptr ||
        event->Header.Class.Level == 0)
        return;
    FILETIME stamp = {event->Header.TimeStamp.LowPart, (DWORD)event->Header.TimeStamp.HighPart};
    if (summaryInProgress->events == 0)
        summaryInProgress->firstEvent = stamp;
    summaryInProgress->lastEvent = stamp;
    ++summaryInProgress->events;
}

}  // namespace

BOOL SummarizeLogFile(const WCHAR* path, LogFileSummary* summary)
{
    ZeroMemory(summary, sizeof(*summary));
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &attributes))
        return FALSE;
    summary->fileBytes = ((ULONG64)attributes.nFileSizeHigh << 32) | attributes.nFileSizeLow;

    EVENT_TRACE_LOGFILEW logFile = {};
    logFile.LogFileName = const_cast<LPWSTR>(path);
    logFile.LoggerName = const_cast<LPWSTR>(FILE_SESSION_NAME);
    logFile.EventCallback = SummaryEventCallback;
    TRACEHANDLE trace = EtwOpenTrace(&logFile);
    if (trace == INVALID_PROCESSTRACE_HANDLE)
        return FALSE;  // OpenTrace's status stays the last error
    // OpenTrace copies the file's header here: the losses of the session
    // that wrote it.
    summary->eventsLost = logFile.LogfileHeader.EventsLost;
    summary->buffersLost = logFile.LogfileHeader.BuffersLost;
    summaryInProgress = summary;
    EtwProcessTrace(&trace, 1, nullptr, nullptr);
    summaryInProgress = nullptr;
    EtwCloseTrace(trace);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
