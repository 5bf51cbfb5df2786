// The log view on this machine: an emulated log file read and held by the
// reader as the window reads it, beside the reading of the same file alone;
// and a window opened on a log of 300000 events, until its first lines show.
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include "app/main_dialog.h"
#include "benchmarks/bench_report.h"
#include "live/line_store.h"
#include "live/live_window.h"
#include "live/log_view.h"
#include "res/resource.h"

namespace {

const ULONG kWindowEvents = 300000;
const ULONG64 kFirstLinesTimeoutMs = 120000;

// Reads `log` into a growing store on this thread, as the reader thread does.
double TimeLogRead(const std::wstring& log, ULONG64* held)
{
    liveState.consumerThread = nullptr;
    DestroyLineStore();
    if (!CreateLineStore(TRUE))
        return -1;
    const WCHAR* paths[] = {log.c_str()};
    LogViewSource source = {paths, 1, FALSE, 0};
    liveState.logEvents = 0;
    liveState.stopReading = FALSE;
    double start = BenchSeconds();
    LogReaderThreadProc(&source);
    double elapsed = BenchSeconds() - start;
    *held = liveState.heldCount;
    DestroyLineStore();
    return elapsed;
}

// Opens the window on `log` and pumps its messages until the view shows a
// line: seconds, or -1.
double TimeFirstLines(const std::wstring& log)
{
    appInstance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    if (LoadLibraryW(L"riched20.dll") == nullptr)
        return -1;
    const WCHAR* paths[] = {log.c_str()};
    LogViewSource source = {paths, 1, FALSE, 0};
    double start = BenchSeconds();
    HWND window = CreateDialogParamW(appInstance, MAKEINTRESOURCEW(IDD_LIVE), nullptr, LogViewDlgProc,
                                     (LPARAM)&source);
    if (window == nullptr)
        return -1;
    HWND view = GetDlgItem(window, IDC_LIVE_VIEW);
    ULONG64 deadline = GetTickCount64() + kFirstLinesTimeoutMs;
    double elapsed = -1;
    // One message at a time: the refresh timer's ticks follow each other
    // while the view fills.
    while (GetTickCount64() < deadline) {
        MSG message;
        if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        } else {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        if (SendMessageW(view, EM_GETLINECOUNT, 0, 0) > 1) {
            elapsed = BenchSeconds() - start;
            break;
        }
    }
    DestroyWindow(window);
    return elapsed;
}

}  // namespace

void RunLogViewBenchmarks(const std::wstring& log, ULONG events, double readOnlySeconds)
{
    ULONG64 held = 0;
    double seconds = TimeLogRead(log, &held);
    if (seconds <= 0 || held != events + 1) {
        printf("log view benchmark: the log was not read whole\n");
        return;
    }
    ReportFigure("view_log_events_per_s", events / seconds, "events/s");
    ReportFigure("view_log_vs_read_only", seconds / readOnlySeconds, "x");

    std::wstring small = log + L".300000";
    double firstLines = WriteBenchLog(small, kWindowEvents) ? TimeFirstLines(small) : -1;
    DeleteFileW(small.c_str());
    if (firstLines <= 0) {
        printf("log view benchmark: the window showed no line\n");
        return;
    }
    ReportFigure("view_log_300000_first_lines_ms", firstLines * 1000, "ms");
}
