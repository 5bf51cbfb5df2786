// Rendering figures of the live view: the document of a full rebuild of
// 50000 held lines built under the lock, its stream into a real rich-edit
// control, and one refresh tick with 10000 new lines, each beside a baseline
// of the same lines as plain text measured in this run.
#include <windows.h>
#include <richedit.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <vector>

#include "benchmarks/bench_report.h"
#include "etw_emulation/synthetic_traffic.h"
#include "live/line_format.h"
#include "live/line_store.h"
#include "live/live_view.h"
#include "res/resource.h"

namespace {

const int kDocumentRuns = 15;
const DWORD kTickLines = 10000;

// One line a millisecond from 2024-01-01 on, as a busy trace.
void AppendSynthetic(ULONG64 first, DWORD count)
{
    SyntheticEvent event;
    const ULONG64 kStart = 133485408000000000ull;
    for (ULONG64 i = first; i < first + count; ++i) {
        DescribeSyntheticEvent(i, &event);
        ULONG64 ticks = kStart + i * 10000;
        FILETIME time = {(DWORD)ticks, (DWORD)(ticks >> 32)};
        AppendLiveLine(&time, event.processId, event.threadId, event.level, 0, _wcsdup(event.text));
    }
}

// The document of RebuildView, built as it builds it.
void BuildRebuildDocument(RtfBuffer* buffer)
{
    RtfAppendHeader(buffer);
    EnterCriticalSection(&liveState.storeLock);
    RtfReserveLines(buffer, liveState.heldCount);
    RtfAppendLines(buffer, liveState.totalCount - liveState.heldCount, liveState.totalCount);
    LeaveCriticalSection(&liveState.storeLock);
    RtfAppend(buffer, "}");
}

// The baseline: the same display lines as plain UTF-16 text, CR LF each.
void BuildPlainText(std::vector<WCHAR>* text, ULONG64 from, ULONG64 to)
{
    text->clear();
    WCHAR prefix[LINE_PREFIX_UNITS];
    EnterCriticalSection(&liveState.storeLock);
    for (ULONG64 s = from; s < to; ++s) {
        const LiveLine* line = &liveState.slots[s % LIVE_SLOT_COUNT];
        if (!IsLineVisible(line))
            continue;
        const WCHAR* body = line->text;
        FormatLinePrefix(line, prefix, &body);
        text->insert(text->end(), prefix, prefix + wcslen(prefix));
        text->insert(text->end(), body, body + wcslen(body));
        text->push_back(L'\r');
        text->push_back(L'\n');
    }
    LeaveCriticalSection(&liveState.storeLock);
    text->push_back(L'\0');
}

double Median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

void MeasureDocument()
{
    std::vector<double> rtf, plain;
    UINT32 documentBytes = 0;
    std::vector<WCHAR> text;
    for (int run = 0; run < kDocumentRuns; ++run) {
        RtfBuffer buffer = {};
        double start = BenchSeconds();
        BuildRebuildDocument(&buffer);
        rtf.push_back(BenchSeconds() - start);
        documentBytes = buffer.length;
        RtfBufferFree(&buffer);

        start = BenchSeconds();
        BuildPlainText(&text, liveState.totalCount - liveState.heldCount, liveState.totalCount);
        plain.push_back(BenchSeconds() - start);
    }
    ReportFigure("rebuild_document_ms", Median(rtf) * 1000, "ms");
    ReportFigure("rebuild_document_plain_text_ms", Median(plain) * 1000, "ms");
    ReportVersusMemcpy("rebuild_document", Median(rtf), documentBytes);
}

// A visible window holding a view set up as the Live Tracing window sets up
// its own: same styles, a 9-point fixed font, no undo.
HWND CreateViewWindow(HWND* view)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 900, 500,
                                  nullptr, nullptr, nullptr, nullptr);
    *view = CreateWindowExW(WS_EX_CLIENTEDGE, L"RichEdit20W", L"",
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL | ES_READONLY,
                            0, 0, 880, 480, window, (HMENU)(INT_PTR)IDC_LIVE_VIEW, nullptr, nullptr);
    HFONT font = CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                             FIXED_PITCH | FF_MODERN, L"Courier New");
    SendMessageW(*view, WM_SETFONT, (WPARAM)font, FALSE);
    SendMessageW(*view, EM_EXLIMITTEXT, 0, 0x3FFFFFFF);
    SendMessageW(*view, EM_SETUNDOLIMIT, 0, 0);
    SendMessageW(*view, EM_SETEVENTMASK, 0, 0);
    return window;
}

// Each view is filled once: emptying a full rich edit is the slow part
// under Wine and belongs to neither figure.
void MeasureStreamAndTick()
{
    HWND rtfView, plainView;
    HWND rtfWindow = CreateViewWindow(&rtfView);
    HWND plainWindow = CreateViewWindow(&plainView);
    liveState.paused = FALSE;
    liveState.autoScroll = TRUE;

    RtfBuffer buffer = {};
    BuildRebuildDocument(&buffer);
    double start = BenchSeconds();
    StreamIntoView(rtfView, &buffer, TRUE, VIEW_OTHER_LINES, LIVE_VIEW_MAX_LINES, LIVE_VIEW_KEPT_LINES);
    double stream = BenchSeconds() - start;
    RtfBufferFree(&buffer);
    liveState.nextToRender = liveState.totalCount;

    std::vector<WCHAR> plain;
    BuildPlainText(&plain, liveState.totalCount - liveState.heldCount, liveState.totalCount);
    start = BenchSeconds();
    SetWindowTextW(plainView, plain.data());
    double plainStream = BenchSeconds() - start;
    ReportFigure("rebuild_stream_ms", stream * 1000, "ms");
    ReportFigure("rebuild_stream_plain_text_ms", plainStream * 1000, "ms");

    // One tick: 10000 new lines rendered by AppendNewLines into the view
    // holding 50000; the baseline appends them as plain text.
    ULONG64 first = liveState.totalCount;
    AppendSynthetic(first, kTickLines);
    start = BenchSeconds();
    AppendNewLines(rtfWindow);
    double tick = BenchSeconds() - start;

    BuildPlainText(&plain, first, first + kTickLines);
    start = BenchSeconds();
    CHARRANGE end = {-1, -1};
    SendMessageW(plainView, EM_EXSETSEL, 0, (LPARAM)&end);
    SendMessageW(plainView, EM_REPLACESEL, FALSE, (LPARAM)plain.data());
    double plainTick = BenchSeconds() - start;
    ReportFigure("tick_10000_lines_ms", tick * 1000, "ms");
    ReportFigure("tick_10000_lines_plain_text_ms", plainTick * 1000, "ms");

    DestroyWindow(rtfWindow);
    DestroyWindow(plainWindow);
}

}  // namespace

void RunViewBenchmarks()
{
    if (LoadLibraryW(L"riched20.dll") == nullptr) {
        printf("view benchmarks: riched20.dll did not load\n");
        return;
    }
    liveState.consumerThread = nullptr;
    DestroyLineStore();
    if (!CreateLineStore()) {
        printf("view benchmarks: no memory for the line store\n");
        return;
    }
    liveState.levelFilter = 5;
    liveState.findText[0] = L'\0';
    liveState.showOnlyPid = 0;
    liveState.hiddenPidCount = 0;
    AppendSynthetic(0, LIVE_SLOT_COUNT);

    MeasureDocument();
    MeasureStreamAndTick();
    DestroyLineStore();
}
