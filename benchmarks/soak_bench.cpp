// The soak: the synthetic source at a steady high rate into a Live Tracing
// window run through its own dialog procedure on the emulated live session.
// Every tick of the window filters and renders the new lines as it does for
// a user; the figures say whether memory stays flat and whether any line
// went missing.
//
// Wine's rich edit deletes text slowly (trimming a full view takes minutes
// there) and holds some 30 KB per line it shows, so a view filling up would
// measure the control rather than the program. The window runs with a find
// text that few messages hold: every line still goes through the store and
// each tick's filter under the lock, and the rare matches are streamed into
// the view, which grows by a few dozen lines instead of being trimmed.
#include "benchmarks/soak_bench.h"

#include <commctrl.h>
#include <evntrace.h>
#include <psapi.h>
#include <stdio.h>
#include <wchar.h>

#include "app/main_dialog.h"
#include "benchmarks/bench_report.h"
#include "etw_emulation/etw_emulation.h"
#include "etw_emulation/synthetic_traffic.h"
#include "live/live_state.h"
#include "live/live_window.h"
#include "res/resource.h"
#include "tracing/trace_session.h"

namespace {

// 400 times the demo's traffic: the store turns over every 2.5 s.
const ULONG kSoakEventsPerSecond = 20000;
// One dump step in 10000 says this: a line every 11 s or so reaches the view.
const WCHAR kSoakFindText[] = L"power-up 9999";
const ULONG64 kMinuteMs = 60000;
const ULONG64 kSettleMs = 60000;        // for the last events to be stored and shown
const double kMegabyte = 1024.0 * 1024.0;

// The commit charge: on Windows the same value as PrivateUsage (private
// bytes); Wine fills only this one, from the resident anonymous memory.
ULONG64 PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        return 0;
    return counters.PagefileUsage;
}

BOOL FindApplied()
{
    return wcscmp(liveState.findText, kSoakFindText) == 0;
}

// Every stored line went through a tick of the window.
BOOL AllRendered()
{
    EnterCriticalSection(&liveState.storeLock);
    BOOL rendered = liveState.nextToRender == liveState.totalCount;
    LeaveCriticalSection(&liveState.storeLock);
    return rendered;
}

// Runs the window's messages until `deadline` (GetTickCount64) or until
// `done` holds. FALSE on reaching the deadline.
BOOL Pump(HWND window, ULONG64 deadline, BOOL (*done)())
{
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (!IsDialogMessageW(window, &message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        if (done != nullptr && done())
            return TRUE;
        ULONG64 now = GetTickCount64();
        if (now >= deadline)
            return FALSE;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, (DWORD)(deadline - now), QS_ALLINPUT);
    }
}

HWND OpenLiveWindow()
{
    appInstance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    if (LoadLibraryW(L"riched20.dll") == nullptr) {
        printf("soak: riched20.dll did not load\n");
        return nullptr;
    }
    EtwEmuReset();
    HWND window = CreateDialogParamW(appInstance, MAKEINTRESOURCEW(IDD_LIVE), nullptr,
                                     LiveDlgProc, TRACE_LEVEL_VERBOSE);
    if (window == nullptr || liveState.consumerThread == nullptr) {
        printf("soak: the Live Tracing window did not start its session\n");
        if (window != nullptr)
            DestroyWindow(window);
        return nullptr;
    }
    // Typed into Find as a user types it; the find timer applies it.
    SetDlgItemTextW(window, IDC_LIVE_FIND, kSoakFindText);
    if (!Pump(window, GetTickCount64() + kSettleMs, FindApplied)) {
        printf("soak: the find text was not applied\n");
        DestroyWindow(window);
        return nullptr;
    }
    return window;
}

}  // namespace

int RunSoak(ULONG minutes)
{
    HWND window = OpenLiveWindow();
    if (window == nullptr)
        return 1;
    printf("soak: %lu events a second for %lu minutes, find text \"%ls\"\n", kSoakEventsPerSecond,
           minutes, kSoakFindText);
    fflush(stdout);
    if (!StartSyntheticTraffic(kSoakEventsPerSecond)) {
        printf("soak: StartSyntheticTraffic failed (%lu)\n", GetLastError());
        DestroyWindow(window);
        return 1;
    }
    ULONG64 start = GetTickCount64();
    ULONG64 afterFirstMinute = 0;
    for (ULONG minute = 1; minute <= minutes; ++minute) {
        Pump(window, start + minute * kMinuteMs, nullptr);
        ULONG64 privateBytes = PrivateBytes();
        if (minute == 1)
            afterFirstMinute = privateBytes;
        fprintf(stderr, "soak: minute %lu, private bytes %.1f MB, %llu events, %ld view lines\n",
                minute, privateBytes / kMegabyte, SyntheticEventsLogged(),
                (long)SendDlgItemMessageW(window, IDC_LIVE_VIEW, EM_GETLINECOUNT, 0, 0));
    }
    ULONG64 atEnd = PrivateBytes();
    double seconds = (GetTickCount64() - start) / 1000.0;
    StopSyntheticTraffic();

    // The last events are delivered and rendered before anything is counted.
    EtwEmuWaitDelivered(LIVE_SESSION_NAME, (DWORD)kSettleMs);
    ULONG64 queueLost = EtwEmuEventsLost(LIVE_SESSION_NAME);
    Pump(window, GetTickCount64() + kSettleMs, AllRendered);
    EnterCriticalSection(&liveState.storeLock);
    ULONG64 total = liveState.totalCount;
    ULONG64 viewLost = liveState.lostBeforeRender;
    LeaveCriticalSection(&liveState.storeLock);
    LRESULT viewLines = SendDlgItemMessageW(window, IDC_LIVE_VIEW, EM_GETLINECOUNT, 0, 0);
    DestroyWindow(window);

    // Stored events: every line but "Monitoring started.". What the queues
    // dropped is counted by the emulation; anything else missing from the
    // store is lost as well, counted or not.
    ULONG64 events = SyntheticEventsLogged();
    ULONG64 stored = total > 0 ? total - 1 : 0;
    ULONG64 missing = events > stored ? events - stored : 0;
    ULONG64 uncounted = missing > queueLost ? missing - queueLost : 0;
    ReportFigure("soak_private_bytes_growth_mb", ((double)atEnd - (double)afterFirstMinute) / kMegabyte,
                 "MB");
    ReportFigure("soak_private_mb_after_first_minute", afterFirstMinute / kMegabyte, "MB");
    ReportFigure("soak_events", (double)events, "events");
    ReportFigure("soak_events_per_s", events / seconds, "events/s");
    ReportFigure("soak_lost_lines", (double)(queueLost + uncounted + viewLost), "lines");
    ReportFigure("soak_view_lines", (double)viewLines, "lines");
    return 0;
}
