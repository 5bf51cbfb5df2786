// "Save the log" on this machine: an emulated log file of 1,000,000 events
// converted into an export file, beside the same export bytes written in
// 64 KB WriteFile calls and the reading of the log file alone, all in this run.
#include <windows.h>
#include <evntrace.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "benchmarks/bench_report.h"
#include "etw_emulation/etw_emulation.h"
#include "etw_emulation/synthetic_traffic.h"
#include "export/log_export.h"
#include "tracing/etw_seam.h"
#include "tracing/trace_session.h"

namespace {

const ULONG kExportEvents = 1000000;
const ULONG kDistinctEvents = 50000;    // synthetic texts, cycled
const DWORD kBaselineChunk = 64 * 1024;
// 2024-01-01 00:00 UTC onwards, one event per millisecond.
const LONGLONG kFirstStamp = 133485408000000000ll;

}  // namespace

// Writes a log file of `count` events; FALSE when it could not be written.
bool WriteBenchLog(const std::wstring& path, ULONG count)
{
    std::vector<WCHAR> texts;
    std::vector<size_t> offsets(kDistinctEvents);
    std::vector<SyntheticEvent> described(kDistinctEvents);
    for (ULONG i = 0; i < kDistinctEvents; ++i) {
        DescribeSyntheticEvent(i, &described[i]);
        offsets[i] = texts.size();
        texts.insert(texts.end(), described[i].text, described[i].text + described[i].textLength + 1);
    }
    std::vector<EtwEmuFileEvent> events(count);
    for (ULONG i = 0; i < count; ++i) {
        const SyntheticEvent& source = described[i % kDistinctEvents];
        EtwEmuFileEvent& event = events[i];
        event.provider = providerTable[source.providerIndex];
        event.level = source.level;
        event.processId = source.processId;
        event.threadId = source.threadId;
        event.timestamp = kFirstStamp + (LONGLONG)i * 10000;
        event.payload = &texts[offsets[i % kDistinctEvents]];
        event.payloadBytes = (source.textLength + 1) * sizeof(WCHAR);
    }
    return EtwEmuWriteLogFile(path.c_str(), FILE_SESSION_NAME, events.data(), events.size()) == 0;
}

namespace {

// The export of one log file as "Save the log" makes it: seconds, or -1.
double TimeExport(const std::wstring& log, const std::wstring& out)
{
    logExport.status = ERROR_SUCCESS;
    logExport.pendingUnits = 0;
    logExport.output = CreateFileW(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (logExport.output == INVALID_HANDLE_VALUE)
        return -1;
    double start = BenchSeconds();
    ConvertLogFile(log.c_str());
    BOOL written = FlushExport();
    double elapsed = BenchSeconds() - start;
    CloseHandle(logExport.output);
    logExport.output = INVALID_HANDLE_VALUE;
    return written ? elapsed : -1;
}

ULONG64 eventsRead;

void WINAPI CountEvent(PEVENT_TRACE)
{
    ++eventsRead;
}

// ProcessTrace over the log file with a callback that only counts.
double TimeRead(const std::wstring& log)
{
    EVENT_TRACE_LOGFILEW logFile = {};
    logFile.LogFileName = const_cast<LPWSTR>(log.c_str());
    logFile.EventCallback = CountEvent;
    eventsRead = 0;
    double start = BenchSeconds();
    TRACEHANDLE trace = EtwOpenTrace(&logFile);
    if (trace == INVALID_PROCESSTRACE_HANDLE)
        return -1;
    EtwProcessTrace(&trace, 1, nullptr, nullptr);
    EtwCloseTrace(trace);
    return BenchSeconds() - start;
}

// The export's bytes written again in 64 KB WriteFile calls.
double TimeBaseline(const std::wstring& exported, const std::wstring& out, double* bytes)
{
    HANDLE in = CreateFileW(exported.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER size = {};
    if (in == INVALID_HANDLE_VALUE || !GetFileSizeEx(in, &size))
        return -1;
    std::vector<BYTE> data((size_t)size.QuadPart);
    DWORD read = 0;
    BOOL ok = ReadFile(in, data.data(), (DWORD)data.size(), &read, nullptr) && read == data.size();
    CloseHandle(in);
    HANDLE file = CreateFileW(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (!ok || file == INVALID_HANDLE_VALUE)
        return -1;
    double start = BenchSeconds();
    for (size_t at = 0; ok && at < data.size(); at += kBaselineChunk) {
        DWORD chunk = (DWORD)(data.size() - at < kBaselineChunk ? data.size() - at : kBaselineChunk);
        DWORD written = 0;
        ok = WriteFile(file, data.data() + at, chunk, &written, nullptr) && written == chunk;
    }
    double elapsed = BenchSeconds() - start;
    CloseHandle(file);
    *bytes = (double)data.size();
    return ok ? elapsed : -1;
}

}  // namespace

void RunExportBenchmark()
{
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring base = std::wstring(temp) + L"qvbench-export-" + std::to_wstring(GetCurrentProcessId());
    std::wstring log = base + L".etl", exported = base + L".txt", copy = base + L"-copy.txt";
    if (!WriteBenchLog(log, kExportEvents)) {
        printf("export benchmark: the log file could not be written (%lu)\n", GetLastError());
        return;
    }
    double exportSeconds = TimeExport(log, exported);
    double readSeconds = TimeRead(log);
    double bytes = 0;
    double baselineSeconds = exportSeconds > 0 ? TimeBaseline(exported, copy, &bytes) : -1;
    if (exportSeconds <= 0 || readSeconds <= 0 || baselineSeconds <= 0 || eventsRead != kExportEvents + 1) {
        printf("export benchmark: a run failed\n");
    } else {
        ReportFigure("export_events_per_s", kExportEvents / exportSeconds, "events/s");
        ReportFigure("export_mb_written", bytes / 1e6, "MB");
        ReportFigure("export_write_64k_events_per_s", kExportEvents / baselineSeconds, "events/s");
        ReportFigure("export_vs_write_64k", exportSeconds / baselineSeconds, "x");
        ReportFigure("export_read_only_events_per_s", kExportEvents / readSeconds, "events/s");
        RunLogViewBenchmarks(log, kExportEvents, readSeconds);
    }
    DeleteFileW(log.c_str());
    DeleteFileW(exported.c_str());
    DeleteFileW(copy.c_str());
}
