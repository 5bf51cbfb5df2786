// QuorvelTraceCmd.exe entry point.
//
// Administrators run it elevated or as SYSTEM, from wherever a deployment
// tool put it: no DLL may be taken from beside it. The load configuration
// keeps the imports' own DLLs to System32, and SetDefaultDllDirectories does
// the same for what is loaded later by name (the CryptoAPI's provider).
#include "common/load_config.h"
#include "console/console_commands.h"

int wmain(int argc, WCHAR** argv)
{
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return RunConsoleCommand(argc, argv, GetStdHandle(STD_OUTPUT_HANDLE),
                             GetStdHandle(STD_ERROR_HANDLE));
}
