#include "live/live_consumer.h"

#include <evntcons.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "live/line_store.h"
#include "tracing/etw_seam.h"
#include "tracing/trace_session.h"

// Plausible event times are the years 2000 to 2199 (UTC). Comparing the raw
// FILETIME with the bounds gives the same answer as converting it with
// FileTimeToSystemTime and checking the year, without the conversion; values
// that the conversion rejects (2^63 and above) lie beyond the upper bound.
static const ULONG64 kTicksPerDay = 864000000000ull;
static const ULONG64 kFirstPlausibleTime = 145731ull * kTicksPerDay;   // 2000-01-01
static const ULONG64 kFirstImplausibleTime = 218780ull * kTicksPerDay; // 2200-01-01

static BOOL IsProviderOfTable(const GUID* guid)
{
    for (int i = 0; i < PROVIDER_COUNT; ++i) {
        if (memcmp(guid, &providerTable[i], sizeof(GUID)) == 0)
            return TRUE;
    }
    return FALSE;
}

void WINAPI LiveEventCallback(PEVENT_TRACE event)
{
    if (event == nullptr)
        return;
    if (!IsProviderOfTable(&event->Header.Guid))
        return;
    if (event->MofData == nullptr || event->MofLength < 2)
        return;

    // An odd last byte is not part of any UTF-16 unit.
    size_t units = event->MofLength / 2;
    WCHAR* text = (WCHAR*)malloc((units + 1) * sizeof(WCHAR));
    if (text == nullptr)
        return;
    memcpy(text, event->MofData, units * sizeof(WCHAR));
    text[units] = L'\0';

    // The message ends at its first NUL; trailing CR and LF go, inner stay.
    size_t length = wcslen(text);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n'))
        text[--length] = L'\0';
    if (length == 0) {
        free(text);
        return;
    }

    ULONG64 ticks = (ULONG64)event->Header.TimeStamp.QuadPart;
    FILETIME timestamp;
    if (ticks < kFirstPlausibleTime || ticks >= kFirstImplausibleTime) {
        GetSystemTimeAsFileTime(&timestamp);
    } else {
        timestamp.dwLowDateTime = (DWORD)ticks;
        timestamp.dwHighDateTime = (DWORD)(ticks >> 32);
    }
    AppendLiveLine(&timestamp, event->Header.ProcessId, event->Header.ThreadId,
                   event->Header.Class.Level, 0, text);
}

DWORD WINAPI ConsumerThreadProc(LPVOID)
{
    WCHAR loggerName[] = LIVE_SESSION_NAME;
    EVENT_TRACE_LOGFILEW logFile = {};
    logFile.LoggerName = loggerName;
    logFile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
    logFile.EventCallback = LiveEventCallback;

    TRACEHANDLE trace = EtwOpenTrace(&logFile);
    if (trace == INVALID_PROCESSTRACE_HANDLE) {
        DWORD error = GetLastError();
        AddStatusLine(L"OpenTrace failed (0x%08X). The session could not be consumed.",
                      error);
        return 0;
    }
    AddStatusLine(L"Monitoring started.");

    ULONG status = EtwProcessTrace(&trace, 1, nullptr, nullptr);
    if (status == ERROR_WMI_INSTANCE_NOT_FOUND)
        AddStatusLine(L"ProcessTrace : the tracing session was not started.");
    else if (status != ERROR_SUCCESS && status != ERROR_CANCELLED)
        AddStatusLine(L"ProcessTrace failed (0x%08X).", status);

    EtwCloseTrace(trace);
    AddStatusLine(L"Monitoring stopped.");
    return 0;
}
