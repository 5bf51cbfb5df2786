// The benchmark program: the live capture path on this machine, each figure
// beside the memcpy throughput of the same text bytes measured in this run.
#include <windows.h>
#include <evntrace.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <vector>

#include "benchmarks/bench_report.h"
#include "benchmarks/soak_bench.h"
#include "etw_emulation/synthetic_traffic.h"
#include "live/line_format.h"
#include "live/line_store.h"
#include "live/live_consumer.h"
#include "tracing/trace_session.h"

namespace {

const ULONG kEventSetSize = LIVE_SLOT_COUNT;    // distinct events, cycled
const ULONG64 kIngestEvents = 4000000;
const double kMemcpySeconds = 0.5;
const double kReaderSeconds = 2.0;
const int kFormatPasses = 20;
const WCHAR kFindText[] = L"pin";

// Synthetic traffic as classic event records, as ProcessTrace hands them to
// the callback: the payload is the text with its terminator.
struct EventSet {
    std::vector<EVENT_TRACE> events;
    std::vector<WCHAR> payloads;
    double textBytes = 0;      // all payloads together
};

EventSet* eventSet;
double memcpyBytesPerSecond;
// Results nobody reads, so that the measured work cannot be left out.
volatile ULONG64 benchSink;

void BuildEventSet(EventSet* set)
{
    std::vector<size_t> offsets(kEventSetSize);
    SyntheticEvent synthetic;
    for (ULONG i = 0; i < kEventSetSize; ++i) {
        DescribeSyntheticEvent(i, &synthetic);
        offsets[i] = set->payloads.size();
        set->payloads.insert(set->payloads.end(), synthetic.text,
                             synthetic.text + synthetic.textLength + 1);
    }
    set->events.assign(kEventSetSize, EVENT_TRACE{});
    // 2024-01-01 onwards, one event per millisecond.
    const LONGLONG kStart = 133485408000000000ll;
    for (ULONG i = 0; i < kEventSetSize; ++i) {
        DescribeSyntheticEvent(i, &synthetic);
        EVENT_TRACE& event = set->events[i];
        event.Header.Guid = providerTable[synthetic.providerIndex];
        event.Header.Class.Level = synthetic.level;
        event.Header.ProcessId = synthetic.processId;
        event.Header.ThreadId = synthetic.threadId;
        event.Header.TimeStamp.QuadPart = kStart + (LONGLONG)i * 10000;
        event.MofData = &set->payloads[offsets[i]];
        event.MofLength = (synthetic.textLength + 1) * sizeof(WCHAR);
        set->textBytes += event.MofLength;
    }
}

double BytesPerLine()
{
    return eventSet->textBytes / kEventSetSize;
}

void MeasureMemcpy()
{
    size_t bytes = (size_t)eventSet->textBytes;
    std::vector<BYTE> target(bytes);
    ULONG64 copied = 0;
    double start = BenchSeconds(), elapsed = 0;
    do {
        memcpy(target.data(), eventSet->payloads.data(), bytes);
        // Keeps the copy from being dropped as dead.
        target[copied % bytes] ^= 1;
        copied += bytes;
        elapsed = BenchSeconds() - start;
    } while (elapsed < kMemcpySeconds);
    memcpyBytesPerSecond = copied / elapsed;
    ReportFigure("memcpy_gb_per_s", memcpyBytesPerSecond / 1e9, "GB/s");
    ReportFigure("text_bytes_per_line", BytesPerLine(), "bytes");
}

// Appends `count` events of the set to the store through the callback.
void Ingest(ULONG64 count)
{
    const EVENT_TRACE* events = eventSet->events.data();
    for (ULONG64 n = 0; n < count; ++n)
        LiveEventCallback(const_cast<EVENT_TRACE*>(&events[n % kEventSetSize]));
}

void MeasureIngest()
{
    CreateLineStore();
    double start = BenchSeconds();
    Ingest(kIngestEvents);
    double elapsed = BenchSeconds() - start;
    DestroyLineStore();
    ReportFigure("ingest_events_per_s", kIngestEvents / elapsed, "events/s");
    ReportVersusMemcpy("ingest", elapsed, kIngestEvents * BytesPerLine());
}

// Formats every visible line from the cursor on, as the view's refresh does.
// storeLock held. Returns a checksum so that nothing is optimised away.
ULONG64 FormatNewLines(ULONG64* cursor, ULONG64* formatted)
{
    ULONG64 sum = 0;
    ULONG64 first = liveState.totalCount - liveState.heldCount;
    if (*cursor > first)
        first = *cursor;
    WCHAR prefix[LINE_PREFIX_UNITS];
    for (ULONG64 s = first; s < liveState.totalCount; ++s) {
        const LiveLine* line = &liveState.slots[s % LIVE_SLOT_COUNT];
        if (!IsLineVisible(line))
            continue;
        const WCHAR* body;
        FormatLinePrefix(line, prefix, &body);
        sum += prefix[7] + body[0];
        ++*formatted;
    }
    *cursor = liveState.totalCount;
    return sum;
}

struct Reader {
    volatile LONG stop;
    ULONG64 ticks;
    ULONG64 formatted;
    ULONG64 checksum;
};

DWORD WINAPI ReaderThread(LPVOID param)
{
    Reader* reader = (Reader*)param;
    ULONG64 cursor = 0;
    while (!reader->stop) {
        Sleep(100);
        EnterCriticalSection(&liveState.storeLock);
        reader->checksum += FormatNewLines(&cursor, &reader->formatted);
        LeaveCriticalSection(&liveState.storeLock);
        ++reader->ticks;
    }
    return 0;
}

void MeasureIngestWithReader()
{
    CreateLineStore();
    Reader reader = {};
    HANDLE thread = CreateThread(nullptr, 0, ReaderThread, &reader, 0, nullptr);
    if (thread == nullptr) {
        printf("ingest_with_reader: CreateThread failed (%lu)\n", GetLastError());
        DestroyLineStore();
        return;
    }
    ULONG64 ingested = 0;
    double start = BenchSeconds(), elapsed = 0;
    do {
        Ingest(100000);
        ingested += 100000;
        elapsed = BenchSeconds() - start;
    } while (elapsed < kReaderSeconds);
    InterlockedExchange(&reader.stop, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    DestroyLineStore();
    ReportFigure("ingest_with_reader_events_per_s", ingested / elapsed, "events/s");
    ReportVersusMemcpy("ingest_with_reader", elapsed, ingested * BytesPerLine());
    ReportFigure("reader_lines_per_tick", reader.ticks ? (double)reader.formatted / reader.ticks : 0,
                 "lines");
}

// IsLineVisible and FormatLinePrefix over a full store, as a rebuild does.
double MeasureFormatPasses(ULONG64* visible)
{
    ULONG64 checksum = 0, formatted = 0;
    double start = BenchSeconds();
    for (int pass = 0; pass < kFormatPasses; ++pass) {
        ULONG64 cursor = 0;
        EnterCriticalSection(&liveState.storeLock);
        checksum += FormatNewLines(&cursor, &formatted);
        LeaveCriticalSection(&liveState.storeLock);
    }
    double elapsed = BenchSeconds() - start;
    *visible = formatted / kFormatPasses;
    benchSink += checksum;
    return elapsed;
}

void MeasureFormat()
{
    CreateLineStore();
    Ingest(kEventSetSize);
    double lines = (double)kFormatPasses * LIVE_SLOT_COUNT;
    ULONG64 visible = 0;

    double elapsed = MeasureFormatPasses(&visible);
    ReportFigure("format_ns_per_line", elapsed * 1e9 / lines, "ns");
    ReportVersusMemcpy("format", elapsed, lines * BytesPerLine());

    wcscpy(liveState.findText, kFindText);
    elapsed = MeasureFormatPasses(&visible);
    liveState.findText[0] = L'\0';
    ReportFigure("find_ns_per_line", elapsed * 1e9 / lines, "ns");
    ReportVersusMemcpy("find", elapsed, lines * BytesPerLine());
    ReportFigure("find_visible_lines", (double)visible, "lines");
    DestroyLineStore();
}

}  // namespace

double MemcpyBytesPerSecond()
{
    return memcpyBytesPerSecond;
}

__attribute__((weak)) void RunViewBenchmarks()
{
}

int wmain(int argc, wchar_t** argv)
{
    // "--soak MINUTES" runs the soak instead of the figures below.
    if (argc > 1) {
        wchar_t* end = nullptr;
        unsigned long minutes = argc == 3 && wcscmp(argv[1], L"--soak") == 0
                                    ? wcstoul(argv[2], &end, 10) : 0;
        if (minutes < SOAK_MIN_MINUTES || *end != L'\0') {
            printf("Usage: quorvel_bench [--soak MINUTES]   (MINUTES: %d or more)\n", SOAK_MIN_MINUTES);
            return 2;
        }
        return RunSoak(minutes);
    }
    EventSet set;
    eventSet = &set;
    BuildEventSet(&set);
    liveState.levelFilter = 5;

    MeasureMemcpy();
    MeasureIngest();
    MeasureIngestWithReader();
    MeasureFormat();
    RunViewBenchmarks();
    RunExportBenchmark();
    return 0;
}
