// Reading back what the program left under HKEY_LOCAL_MACHINE.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct RegistryValue {
    bool exists = false;
    DWORD type = 0;
    std::vector<BYTE> data;

    DWORD AsDword() const;
};

RegistryValue ReadMachineValue(const std::wstring& key, const WCHAR* name);
bool MachineKeyExists(const std::wstring& key);
// Names of the values, or else of the subkeys, in the registry's order.
std::vector<std::wstring> MachineNames(const std::wstring& key, bool values);
// Leaves no persistent tracing behind: before and after a test, stops every
// emulated session and deletes the autologger key, the log files and the WMI
// directory when the test created it.
class PersistentTracingCleanup {
public:
    PersistentTracingCleanup();
    ~PersistentTracingCleanup();
    PersistentTracingCleanup(const PersistentTracingCleanup&) = delete;
    PersistentTracingCleanup& operator=(const PersistentTracingCleanup&) = delete;

    void Clean();

private:
    bool hadLogDirectory_ = false;
};
