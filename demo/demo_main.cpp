// The demo build: the real program on the ETW emulation, with synthetic
// smart-card traffic playing while it runs. With "--open-live" it opens the
// Live Tracing window directly (at level 5, without the main dialog).
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
#include "res/resource.h"
#include "tracing/autologger.h"
#include "tracing/trace_session.h"

namespace {

const DWORD kPaceMs = 100;          // one batch of events per pace
const DWORD kEventsPerPace = 5;     // 50 events per second...
const DWORD kBurstEvery = 100;      // ...and every 10 seconds...
const DWORD kBurstEvents = 300;     // ...a burst, as a logon storm makes
const ULONG kLogFileMax = 8;        // the registration's "FileMax"

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

int OpenLiveTracing(HINSTANCE instance)
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    appInstance = instance;
    if (LoadLibraryExW(L"riched20.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32) == nullptr)
        return 1;
    return (int)DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_LIVE), nullptr, LiveDlgProc, 5);
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

    int result = wcsstr(commandLine, L"--open-live") != nullptr ? OpenLiveTracing(instance)
                                                                : RunQuorvelTrace(instance);
    SetEvent(stopTraffic);
    if (traffic != nullptr) {
        WaitForSingleObject(traffic, INFINITE);
        CloseHandle(traffic);
    }
    CloseHandle(stopTraffic);
    return result;
}
