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

// Units of the payload before its first NUL, at most `units`. The payload
// need not be aligned for WCHAR access.
static size_t MessageUnits(const void* payload, size_t units)
{
    if (((ULONG_PTR)payload & 1) == 0)
        return wcsnlen((const WCHAR*)payload, units);
    const BYTE* bytes = (const BYTE*)payload;
    size_t n = 0;
    while (n < units && (bytes[2 * n] != 0 || bytes[2 * n + 1] != 0))
        ++n;
    return n;
}

static BOOL IsLineBreakUnit(const BYTE* unit)
{
    return unit[1] == 0 && (unit[0] == '\r' || unit[0] == '\n');
}

WCHAR* TakeEventMessage(const EVENT_TRACE* event)
{
    if (event == nullptr || !IsProviderOfTable(&event->Header.Guid))
        return nullptr;
    if (event->MofData == nullptr || event->MofLength < 2)
        return nullptr;

    // An odd last byte is not part of any UTF-16 unit. The message ends at
    // its first NUL: only that much is kept, however long the payload.
    size_t units = MessageUnits(event->MofData, event->MofLength / 2);
    // Trailing CR and LF go, inner ones stay.
    const BYTE* payload = (const BYTE*)event->MofData;
    while (units > 0 && IsLineBreakUnit(payload + (units - 1) * 2))
        --units;
    if (units == 0)
        return nullptr;
    WCHAR* text = (WCHAR*)malloc((units + 1) * sizeof(WCHAR));
    if (text == nullptr)
        return nullptr;
    memcpy(text, payload, units * sizeof(WCHAR));
    text[units] = L'\0';
    return text;
}

void WINAPI LiveEventCallback(PEVENT_TRACE event)
{
    WCHAR* text = TakeEventMessage(event);
    if (text == nullptr)
        return;
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
