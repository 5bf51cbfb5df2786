#include "test_support/registry.h"

DWORD RegistryValue::AsDword() const
{
    DWORD value = 0;
    if (data.size() == sizeof(value))
        memcpy(&value, data.data(), sizeof(value));
    return value;
}

RegistryValue ReadMachineValue(const std::wstring& key, const WCHAR* name)
{
    RegistryValue value;
    HKEY handle;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return value;
    DWORD size = 0;
    RegQueryValueExW(handle, name, nullptr, nullptr, nullptr, &size);
    value.data.resize(size);
    value.exists = RegQueryValueExW(handle, name, nullptr, &value.type, value.data.data(), &size) == ERROR_SUCCESS;
    value.data.resize(value.exists ? size : 0);
    RegCloseKey(handle);
    return value;
}

bool MachineKeyExists(const std::wstring& key)
{
    HKEY handle;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

std::vector<std::wstring> MachineNames(const std::wstring& key, bool values)
{
    std::vector<std::wstring> names;
    HKEY handle;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return names;
    for (DWORD index = 0;; ++index) {
        WCHAR name[16384];
        DWORD units = 16384;
        LONG status = values ? RegEnumValueW(handle, index, name, &units, nullptr, nullptr, nullptr, nullptr)
                             : RegEnumKeyExW(handle, index, name, &units, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    RegCloseKey(handle);
    return names;
}

#include "etw_emulation/etw_emulation.h"
#include "test_support/temp_dir.h"
#include "tracing/autologger.h"
#include "tracing/trace_session.h"

PersistentTracingCleanup::PersistentTracingCleanup()
{
    WCHAR directory[MAX_PATH];
    hadLogDirectory_ = GetLogDirectory(directory) && PathExists(directory, true);
    Clean();
}

PersistentTracingCleanup::~PersistentTracingCleanup()
{
    Clean();
}

void PersistentTracingCleanup::Clean()
{
    EtwEmuReset();
    // As Windows names it, not through the program's constant.
    const WCHAR kKey[] = L"SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger\\Quorvel";
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
    WCHAR path[MAX_PATH];
    for (const WCHAR* suffix : {L"", L".001", L".002", L".003", L".004", L".005", L".006", L".007", L".008"}) {
        if (GetLogFilePath(path, suffix))
            DeleteFileW(path);
    }
    if (!hadLogDirectory_ && GetLogDirectory(path))
        RemoveDirectoryW(path);
}
