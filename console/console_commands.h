// QuorvelTraceCmd: persistent tracing from a script. Its commands, their
// arguments and exit codes; the same entry serves the program's wmain and
// the tests. One command at a time per process (the export and the log
// summaries keep process-wide state while they read).
#pragma once

#include <windows.h>

#include <string>

#define CONSOLE_EXIT_DONE          0
#define CONSOLE_EXIT_FAILED        1  // the message names the failing step
#define CONSOLE_EXIT_BAD_ARGUMENTS 2  // the usage follows the message
#define CONSOLE_EXIT_NEEDS_ADMIN   3  // refused before anything was done

#define CONSOLE_PROGRAM_NAME L"QuorvelTraceCmd"

// Runs the command line `argv` (argv[0] the program) and writes what it says
// to `out` and its errors and the usage after bad arguments to `err`.
// Returns the exit code.
int RunConsoleCommand(int argc, WCHAR** argv, HANDLE out, HANDLE err);

// "QuorvelTraceCmd: <step> failed: 0x%08X - <system text>\n" into `err`,
// `step` formatted printf-style. Returns CONSOLE_EXIT_FAILED.
int AppendFailure(std::wstring* err, DWORD code, const WCHAR* stepFormat, ...);

// `path` made absolute into MAX_PATH units. FALSE + last error.
BOOL GetAbsolutePath(const WCHAR* path, WCHAR* out);
