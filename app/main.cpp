// QuorvelTrace.exe entry point.
//
// The program runs elevated and is often started from a downloads folder:
// no DLL may be taken from beside it. The load configuration makes the
// loader look in System32 only for the imports of the executable and of
// its DLLs (Windows 10 1607 and later), and SetDefaultDllDirectories does
// the same for everything loaded later by name.
#include "app/main_dialog.h"

// Constant data, read by the loader before any code runs. GNU ld links it
// but does not point the load-configuration directory at it: the build's
// post-link step (tools/point_load_config.py) does. MinGW's headers still
// call the DependentLoadFlags field Reserved1.
static constexpr IMAGE_LOAD_CONFIG_DIRECTORY64 MakeLoadConfig()
{
    IMAGE_LOAD_CONFIG_DIRECTORY64 config = {};
    config.Size = sizeof(config);
    config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return config;
}
extern "C" __attribute__((used)) const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = MakeLoadConfig();

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return RunQuorvelTrace(instance);
}
