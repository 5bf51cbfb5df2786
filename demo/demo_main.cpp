// The demo build: the real program on the ETW emulation, with synthetic
// smart-card traffic playing while it runs. With "--open-live" it opens the
// Live Tracing window directly (at level 5, without the main dialog); with
// "--view-log" the log view on a log of the synthetic traffic.
// Persistent tracing works as on Windows: a start of the demo while it is
// enabled plays a restart (the log files move up one number and the file
// session starts again), so "Save the log" finds several files.
#include <windows.h>
#include <commctrl.h>
#include <wchar.h>

#include "app/main_dialog.h"
#include "etw_emulation/etw_emulation.h"
#include "etw_emulation/synthetic_traffic.h"
#include "live/live_window.h"
#include "live/log_view.h"
#include "res/resource.h"
#include "tracing/autologger.h"
#include "tracing/trace_session.h"

namespace {

const DWORD kPaceMs = 100;          // one batch of events per pace
const DWORD kEventsPerPace = 5;     // 50 events per second...
const DWORD kBurstEvery = 100;      // ...and every 10 seconds...
const DWORD kBurstEvents = 300;     // ...a burst, as a logon storm makes
const ULONG kLogFileMax = 8;        // the registration's "FileMax"
const ULONG kDemoLogEvents = 5000;  // a few logons, one event a millisecond apart

HANDLE stopTraffic;

// Plays the synthetic sequence at a steady pace with bursts until
// stopTraffic is set.
DWORD WINAPI PlayTraffic(LPVOID)
{
    ULONG64 next = 0;
    for (DWORD pace = 1; WaitForSingleObject(stopTraffic, kPaceMs) == WAIT_TIMEOUT; ++pace) {
        DWORD count = pace % kBurstEvery == 0 ? kBurstEvents : kEventsPerPace;
        for (DWORD i = 0; i < count; ++i)
            LogSyntheticEvent(next++);
    }
    return 0;
}

// What the tracing window needs when it opens without the main dialog.
BOOL PrepareTracingWindow(HINSTANCE instance)
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    appInstance = instance;
    return LoadLibraryExW(L"riched20.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32) != nullptr;
}

int OpenLiveTracing(HINSTANCE instance)
{
    if (!PrepareTracingWindow(instance))
        return 1;
    return (int)DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_LIVE), nullptr, LiveDlgProc, 5);
}

// Writes the synthetic traffic into a log file in the temp folder and opens
// the log view on it.
int ViewDemoLog(HINSTANCE instance)
{
    if (!PrepareTracingWindow(instance))
        return 1;
    WCHAR path[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH - 16, path);
    if (length == 0 || length >= MAX_PATH - 16)
        return 1;
    wcscat(path, L"Quorvel-demo.etl");
    static SyntheticEvent described[kDemoLogEvents];
    static EtwEmuFileEvent events[kDemoLogEvents];
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    LONGLONG start = (LONGLONG)(((ULONG64)now.dwHighDateTime << 32) | now.dwLowDateTime) - kDemoLogEvents * 10000ll;
    for (ULONG i = 0; i < kDemoLogEvents; ++i) {
        DescribeSyntheticEvent(i, &described[i]);
        events[i] = {providerTable[described[i].providerIndex], described[i].level, described[i].processId,
                     described[i].threadId, start + i * 10000ll, described[i].text,
                     (described[i].textLength + 1) * (ULONG)sizeof(WCHAR)};
    }
    if (EtwEmuWriteLogFile(path, FILE_SESSION_NAME, events, kDemoLogEvents) != ERROR_SUCCESS)
        return 1;
    const WCHAR* paths[] = {path};
    LogViewSource source = {paths, 1, FALSE, 0};
    return (int)DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_LIVE), nullptr, LogViewDlgProc, (LPARAM)&source);
}

// What Windows does at boot while the autologger is registered: the log
// files move up one number and the file session starts on a new file.
void PlayBoot()
{
    WCHAR logFile[MAX_PATH];
    if (!IsPersistentTracingEnabled() || !GetLogFilePath(logFile, nullptr))
        return;
    EtwEmuPlayRestart(FILE_SESSION_NAME, logFile, kLogFileMax);
    StartTraceSession(TRUE, TRACE_LEVEL_VERBOSE);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int)
{
    PlayBoot();
    stopTraffic = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE traffic = CreateThread(nullptr, 0, PlayTraffic, nullptr, 0, nullptr);

    int result = wcsstr(commandLine, L"--open-live") != nullptr  ? OpenLiveTracing(instance)
                 : wcsstr(commandLine, L"--view-log") != nullptr ? ViewDemoLog(instance)
                                                                 : RunQuorvelTrace(instance);
    SetEvent(stopTraffic);
    if (traffic != nullptr) {
        WaitForSingleObject(traffic, INFINITE);
        CloseHandle(traffic);
    }
    CloseHandle(stopTraffic);
    return result;
}
