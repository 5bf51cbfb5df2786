// QuorvelTrace.exe entry point.
//
// The program runs elevated and is often started from a downloads folder:
// no DLL may be taken from beside it. The load configuration makes the
// loader look in System32 only for the imports of the executable and of
// its DLLs, and SetDefaultDllDirectories does the same for everything
// loaded later by name.
#include "app/main_dialog.h"
#include "common/load_config.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return RunQuorvelTrace(instance);
}
