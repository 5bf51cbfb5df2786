// A stand-in for a system DLL, planted beside a copy of QuorvelTrace.exe by
// the loader tests: being loaded leaves "<its path>.loaded" beside it.
#include <windows.h>
#include <wchar.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(self, path, MAX_PATH - 8);
    if (reason == DLL_PROCESS_ATTACH && length != 0 && wcscpy(path + length, L".loaded") != nullptr)
        CloseHandle(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    return TRUE;
}
