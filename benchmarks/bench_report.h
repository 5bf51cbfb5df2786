// Shared by the benchmark sources: the clock, the figure lines and the
// memcpy baseline. Every figure is printed on a line of its own as
// "name: value unit"; a "<name>_vs_memcpy: r x" line says how many times the
// time of copying the same text bytes with memcpy the measured work took.
// Main thread of the benchmark program only.
#pragma once

#include <windows.h>
#include <stdio.h>

#include <string>

// Seconds on the performance counter.
inline double BenchSeconds()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart / (double)frequency.QuadPart;
}

inline void ReportFigure(const char* name, double value, const char* unit)
{
    printf("%s: %.*f %s\n", name, value >= 100 ? 0 : 2, value, unit);
    fflush(stdout);
}

// Bulk memcpy throughput of this run, measured by bench_main before any
// other figure.
double MemcpyBytesPerSecond();

// Prints "<name>_vs_memcpy" for work that took `seconds` over `bytes` text
// bytes.
inline void ReportVersusMemcpy(const char* name, double seconds, double bytes)
{
    char line[128];
    _snprintf(line, sizeof(line) - 1, "%s_vs_memcpy", name);
    line[sizeof(line) - 1] = '\0';
    ReportFigure(line, seconds / (bytes / MemcpyBytesPerSecond()), "x");
}

// The view benchmarks; bench_main calls them after its own figures. A weak
// empty default stands in while no view benchmark is linked.
void RunViewBenchmarks();

// "Save the log" of an emulated log file of 1,000,000 events (export_bench.cpp).
void RunExportBenchmark();

// Writes an emulated log file of `count` synthetic events, one a millisecond
// (export_bench.cpp); FALSE when it could not be written.
bool WriteBenchLog(const std::wstring& path, ULONG count);

// The log view on the export benchmark's log file of `events` events, beside
// the reading of that file alone (`readOnlySeconds`), then the time until a
// window on a log of 300000 events shows its first lines (log_view_bench.cpp).
void RunLogViewBenchmarks(const std::wstring& log, ULONG events, double readOnlySeconds);
