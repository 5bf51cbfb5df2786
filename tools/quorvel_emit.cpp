// QuorvelEmit: logs Quorvel messages through the six providers of
// providerTable as a classic ETW provider does (RegisterTraceGuids, a
// control callback, TraceEvent with one UTF-16 MOF field), so that
// QuorvelTrace on Windows has real events to show. Providers need no rights:
// it runs unelevated and has no manifest of its own.
//
// Threads: the main thread registers, waits and logs; ETW calls the control
// callback on threads of its own. They share `emitter.providers` under
// `providerLock`.
#include <windows.h>
#include <wmistr.h>
#include <evntrace.h>
#include <stdio.h>

#include "common/system_text.h"
#include "tools/emit_options.h"
#include "tracing/trace_session.h"

#define EXIT_DONE           0
#define EXIT_FAILED         1
#define EXIT_BAD_ARGUMENTS  2

// What ETW told one provider.
struct EmitProvider {
    TRACE_GUID_REGISTRATION eventClass;
    TRACEHANDLE registration;   // 0 while not registered
    TRACEHANDLE logger;         // 0 while no session enables the provider
    UCHAR enableLevel;
};

// The emitter's one process-wide record.
struct EmitterState {
    CRITICAL_SECTION providerLock;
    EmitProvider providers[PROVIDER_COUNT];     // logger, enableLevel: providerLock
    HANDLE enabledEvent;    // set by every enable
    HANDLE stopEvent;       // set by Ctrl+C
};

static EmitterState emitter;

// One classic event: the header and the one MOF field holding the text.
struct EmitEvent {
    EVENT_TRACE_HEADER header;
    MOF_FIELD text;
};
static_assert(sizeof(EmitEvent) == 48 + 16, "header and one MOF field");

// Counts of one run; none is silent.
struct EmitTotals {
    ULONG64 logged;
    ULONG64 skipped;        // provider not enabled, or above the session's level
    ULONG64 dropped;        // ETW had no free buffer
};

// The console output goes through MinGW's C99 wprintf family, where a wide
// string is "%ls".
static void ReportFailure(const WCHAR* call, ULONG status)
{
    WCHAR description[SYSTEM_TEXT_UNITS];
    FormatSystemText(status, description, SYSTEM_TEXT_UNITS);
    fwprintf(stderr, L"QuorvelEmit: %ls failed: 0x%08lX - %ls\n", call, status, description);
}

// --- Provider side --------------------------------------------------------

static ULONG WINAPI ControlCallback(WMIDPREQUESTCODE code, PVOID context, ULONG* reserved,
                                    PVOID buffer)
{
    (void)reserved;
    ULONG index = (ULONG)(ULONG_PTR)context;
    EmitProvider* provider = &emitter.providers[index];
    if (code == WMI_DISABLE_EVENTS) {
        EnterCriticalSection(&emitter.providerLock);
        provider->logger = 0;
        LeaveCriticalSection(&emitter.providerLock);
        wprintf(L"Provider %lu disabled.\n", index + 1);
        return ERROR_SUCCESS;
    }
    if (code != WMI_ENABLE_EVENTS)
        return ERROR_INVALID_PARAMETER;

    TRACEHANDLE logger = GetTraceLoggerHandle(buffer);
    if (logger == (TRACEHANDLE)INVALID_HANDLE_VALUE) {
        // Never a success for ETW, even without a last error.
        ULONG status = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_INVALID_HANDLE;
        ReportFailure(L"GetTraceLoggerHandle", status);
        return status;
    }
    UCHAR level = GetTraceEnableLevel(logger);
    ULONG flags = GetTraceEnableFlags(logger);
    EnterCriticalSection(&emitter.providerLock);
    provider->logger = logger;
    provider->enableLevel = level;
    LeaveCriticalSection(&emitter.providerLock);
    wprintf(L"Provider %lu enabled at level %u, flags 0x%08lX.\n", index + 1, level, flags);
    SetEvent(emitter.enabledEvent);
    return ERROR_SUCCESS;
}

static ULONG RegisterProviders()
{
    for (ULONG i = 0; i < PROVIDER_COUNT; ++i) {
        EmitProvider* provider = &emitter.providers[i];
        provider->eventClass.Guid = &providerTable[i];
        ULONG status = RegisterTraceGuidsW(ControlCallback, (PVOID)(ULONG_PTR)i, &providerTable[i],
                                           1, &provider->eventClass, nullptr, nullptr,
                                           &provider->registration);
        if (status != ERROR_SUCCESS) {
            provider->registration = 0;
            ReportFailure(L"RegisterTraceGuids", status);
            return status;
        }
    }
    wprintf(L"Registered the six Quorvel providers.\n");
    return ERROR_SUCCESS;
}

static void UnregisterProviders()
{
    for (ULONG i = 0; i < PROVIDER_COUNT; ++i) {
        if (emitter.providers[i].registration != 0)
            UnregisterTraceGuids(emitter.providers[i].registration);
        emitter.providers[i].registration = 0;
    }
}

static BOOL AnyProviderEnabled()
{
    BOOL enabled = FALSE;
    EnterCriticalSection(&emitter.providerLock);
    for (ULONG i = 0; i < PROVIDER_COUNT; ++i)
        enabled |= emitter.providers[i].logger != 0;
    LeaveCriticalSection(&emitter.providerLock);
    return enabled;
}

// ETW enables a provider when a session asks for it: at registration when the
// session runs already, or later. FALSE when none did within `seconds`.
static BOOL WaitForSession(ULONG seconds)
{
    if (!AnyProviderEnabled()) {
        wprintf(L"Waiting up to %lu s for a trace session to enable them "
                L"(QuorvelTrace: Live Tracing or persistent tracing)...\n", seconds);
        HANDLE events[2] = {emitter.enabledEvent, emitter.stopEvent};
        WaitForMultipleObjects(2, events, FALSE, seconds * 1000);
    }
    if (AnyProviderEnabled())
        return TRUE;
    fwprintf(stderr, L"QuorvelEmit: no trace session enabled the Quorvel providers within %lu s; "
                     L"nothing was logged.\n", seconds);
    return FALSE;
}

// Logs one message if its provider is enabled at its level; `*skipped` says
// it was not. A session that stops while the message is logged skips it too.
static ULONG LogMessage(ULONG providerIndex, UCHAR level, const WCHAR* text, BOOL* skipped)
{
    EmitProvider* provider = &emitter.providers[providerIndex];
    EnterCriticalSection(&emitter.providerLock);
    TRACEHANDLE logger = provider->logger;
    BOOL wanted = logger != 0 && (level == 0 || level <= provider->enableLevel);
    LeaveCriticalSection(&emitter.providerLock);
    *skipped = !wanted;
    if (!wanted)
        return ERROR_SUCCESS;

    EmitEvent event = {};
    event.header.Size = sizeof(event);
    event.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;
    event.header.Guid = providerTable[providerIndex];
    event.header.Class.Level = level;
    event.text.DataPtr = (ULONG64)(ULONG_PTR)text;
    event.text.Length = (ULONG)((wcslen(text) + 1) * sizeof(WCHAR));
    ULONG status = TraceEvent(logger, &event.header);
    if (status == ERROR_INVALID_HANDLE) {
        EnterCriticalSection(&emitter.providerLock);
        *skipped = provider->logger != logger;
        LeaveCriticalSection(&emitter.providerLock);
        if (*skipped)
            return ERROR_SUCCESS;
    }
    return status;
}

// --- The run --------------------------------------------------------------

// Waits until message `number` is due at `rate` a second after `start`.
// FALSE once Ctrl+C was pressed.
static BOOL WaitForTurn(ULONG rate, ULONG64 number, LONGLONG start, LONGLONG frequency)
{
    DWORD waitMs = 0;
    if (rate != 0) {
        ULONG64 before = number - 1;
        ULONG64 perSecond = (ULONG64)frequency;
        ULONG64 due = before / rate * perSecond + before % rate * perSecond / rate;
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        ULONG64 elapsed = (ULONG64)(now.QuadPart - start);
        if (elapsed < due)
            waitMs = (DWORD)((due - elapsed) * 1000 / perSecond) + 1;
    }
    return WaitForSingleObject(emitter.stopEvent, waitMs) != WAIT_OBJECT_0;
}

static ULONG LogMessages(const EmitOptions* options, EmitTotals* totals)
{
    static WCHAR text[EMIT_MESSAGE_UNITS];
    LARGE_INTEGER frequency, start;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (ULONG64 number = 1; options->count == 0 || number <= options->count; ++number) {
        if (!WaitForTurn(options->rate, number, start.QuadPart, frequency.QuadPart))
            break;
        ULONG providerIndex = 0;
        UCHAR level = 0;
        // Fits: ParseEmitOptions measured the longest message of the run.
        BuildEmitMessage(options, number, &providerIndex, &level, text);
        BOOL skipped = FALSE;
        ULONG status = LogMessage(providerIndex, level, text, &skipped);
        if (status == ERROR_NOT_ENOUGH_MEMORY || status == ERROR_OUTOFMEMORY) {
            ++totals->dropped;
        } else if (status != ERROR_SUCCESS) {
            ReportFailure(L"TraceEvent", status);
            return status;
        } else if (skipped) {
            ++totals->skipped;
        } else {
            ++totals->logged;
        }
    }
    return ERROR_SUCCESS;
}

static BOOL WINAPI OnConsoleControl(DWORD type)
{
    (void)type;
    SetEvent(emitter.stopEvent);
    return TRUE;
}

int wmain(int argc, WCHAR** argv)
{
    EmitOptions options;
    WCHAR error[EMIT_ERROR_UNITS];
    switch (ParseEmitOptions(argc, argv, &options, error)) {
    case kEmitHelp:
        fputws(emitUsage, stdout);
        return EXIT_DONE;
    case kEmitBadArguments:
        fwprintf(stderr, L"QuorvelEmit: %ls\n\n%ls", error, emitUsage);
        return EXIT_BAD_ARGUMENTS;
    case kEmitRun:
        break;
    }

    // Progress lines show as they happen, also through a pipe.
    setvbuf(stdout, nullptr, _IONBF, 0);
    InitializeCriticalSection(&emitter.providerLock);
    emitter.enabledEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    emitter.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (emitter.enabledEvent == nullptr || emitter.stopEvent == nullptr) {
        ReportFailure(L"CreateEvent", GetLastError());
        return EXIT_FAILED;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    EmitTotals totals = {};
    BOOL done = RegisterProviders() == ERROR_SUCCESS && WaitForSession(options.waitSeconds) &&
                LogMessages(&options, &totals) == ERROR_SUCCESS;
    // Unregistered first, so that no enable or disable line follows the totals.
    UnregisterProviders();
    if (!done)
        return EXIT_FAILED;
    wprintf(L"Logged %llu message(s); %llu skipped (provider not enabled, or above the "
            L"session's level); %llu dropped by ETW (no free buffer).\n",
            totals.logged, totals.skipped, totals.dropped);
    return EXIT_DONE;
}
