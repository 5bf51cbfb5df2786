// The soak of the benchmark program (run by hand, never by the tests):
// synthetic traffic at a high rate through the emulated live session into a
// real Live Tracing window, its store and its view, for a given time.
// Main thread of the benchmark program only.
#pragma once

#include <windows.h>

// The first minute warms up; the growth is measured after it.
#define SOAK_MIN_MINUTES 2

// Runs the soak for `minutes` (at least SOAK_MIN_MINUTES) and prints
// soak_private_bytes_growth_mb, soak_events and soak_lost_lines among its
// figures. Returns the benchmark program's exit code.
int RunSoak(ULONG minutes);
