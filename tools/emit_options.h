// QuorvelEmit's command line and messages. Pure functions of their
// arguments (no Win32 state, no output): any thread.
#pragma once

#include <windows.h>

// Largest message in UTF-16 units, terminator included: the event (header,
// one MOF field, the text) stays well under ETW's 64 KB.
#define EMIT_MESSAGE_UNITS      32000
#define EMIT_ERROR_UNITS        160
#define EMIT_ALL_PROVIDERS      0       // `provider`: each provider in turn

struct EmitOptions {
    BOOL script;            // replay the synthetic smart-card script
    ULONG provider;         // 1..6 (table order) or EMIT_ALL_PROVIDERS
    UCHAR level;            // ETW level, any byte
    ULONG count;            // messages to log; 0: until stopped
    ULONG rate;             // messages a second; 0: as fast as possible
    ULONG waitSeconds;      // for a session to enable the providers
    const WCHAR* origin;    // "" logs the bare text
    ULONG line;
    const WCHAR* text;      // "{n}" stands for the message number
};

enum EmitParse { kEmitRun, kEmitHelp, kEmitBadArguments };

// The usage text printed by --help and after a bad argument.
extern const WCHAR emitUsage[];

// Reads argv[1..argc-1] into `out` (whose strings then point into argv).
// kEmitBadArguments writes the reason into `error` (EMIT_ERROR_UNITS units),
// also when a message of the run would not fit in EMIT_MESSAGE_UNITS.
EmitParse ParseEmitOptions(int argc, WCHAR** argv, EmitOptions* out, WCHAR* error);

// Message `number` (1-based) of the run: its index into providerTable, its
// level and its text "origin(line) : text" into `text` (EMIT_MESSAGE_UNITS).
// FALSE, with an empty text, when it does not fit.
BOOL BuildEmitMessage(const EmitOptions* options, ULONG64 number, ULONG* providerIndex,
                      UCHAR* level, WCHAR* text);
