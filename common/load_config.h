// The load configuration of the program's executables: the loader takes the
// DLLs that their imports need from System32 only (Windows 10 1607 and later).
// Included once per executable, by the file of its entry point.
//
// Constant data, read by the loader before any code runs. GNU ld links it
// but does not point the load-configuration directory at it: the build's
// post-link step (tools/point_load_config.py) does. MinGW's headers still
// call the DependentLoadFlags field Reserved1.
#pragma once

#include <windows.h>

static constexpr IMAGE_LOAD_CONFIG_DIRECTORY64 MakeLoadConfig()
{
    IMAGE_LOAD_CONFIG_DIRECTORY64 config = {};
    config.Size = sizeof(config);
    config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return config;
}
extern "C" __attribute__((used)) const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = MakeLoadConfig();
