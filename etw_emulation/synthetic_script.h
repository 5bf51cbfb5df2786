// The script of the synthetic traffic of the six Quorvel providers
// (providerTable of tracing/trace_session.h), as the virtual smart-card stack
// would log it: reader enumeration, card insertion and removal, ATRs, PIN
// verification, certificate reads and logon steps, at levels 1..5 (mostly 4
// and 5), from a few fake processes and threads.
//
// The script is a fixed sequence: event number `index` is always the same
// provider, level, process, thread and text (a seeded hash of the index), so
// a test can compute what a consumer must have received. It needs nothing
// but the Windows headers: the emulation's player (synthetic_traffic.h) and
// the emitter for real Windows (tools/) both replay it.
#pragma once

#include <windows.h>

// Text buffer of one event; the longest message is well below it.
#define SYNTHETIC_TEXT_UNITS 512

struct SyntheticEvent {
    ULONG providerIndex;        // into providerTable
    UCHAR level;                // 1..5
    ULONG processId;
    ULONG threadId;
    ULONG textLength;           // characters, terminator excluded
    WCHAR text[SYNTHETIC_TEXT_UNITS];   // "origin(line) : text" or a bare text
};

// Fills `out` with event number `index` of the sequence. Any thread.
void DescribeSyntheticEvent(ULONG64 index, SyntheticEvent* out);
