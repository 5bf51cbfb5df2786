#include "tracing/autologger.h"

#include <evntrace.h>
#include <wchar.h>

#include "common/wide_format.h"
#include "tracing/trace_session.h"

namespace {

const DWORD kAutologgerLogFileMode = 0x00001300;  // add header, delay open, real time

struct DwordValue {
    const WCHAR* name;
    DWORD data;
};

// The autologger's DWORD values, written after "Guid" and "FileName", in order.
const DwordValue kSessionValues[] = {
    {L"FileMax", 8},
    {L"Start", 1},
    {L"BufferSize", 8},
    {L"FlushTimer", 0},
    {L"MaximumBuffers", 0},
    {L"MinimumBuffers", 0},
    {L"ClockType", 1},
    {L"MaxFileSize", 64},
    {L"LogFileMode", kAutologgerLogFileMode},
    {L"FileCounter", 5},
    {L"Status", 0},
};

LONG WriteString(const WCHAR* key, const WCHAR* name, const WCHAR* text)
{
    // REG_SZ data counts its terminator.
    return WriteRegistryValue(key, name, REG_SZ, text, (DWORD)((wcslen(text) + 1) * sizeof(WCHAR)));
}

LONG WriteDword(const WCHAR* key, const WCHAR* name, DWORD data)
{
    return WriteRegistryValue(key, name, REG_DWORD, &data, sizeof(data));
}

LONG WriteQword(const WCHAR* key, const WCHAR* name, ULONGLONG data)
{
    return WriteRegistryValue(key, name, REG_QWORD, &data, sizeof(data));
}

LONG WriteProviderKey(const GUID& provider, ULONG level)
{
    WCHAR guidText[GUID_TEXT_UNITS];
    FormatGuidText(provider, guidText);
    WCHAR key[FORMAT_TEXT_UNITS];
    if (FormatText1024(key, AUTOLOGGER_KEY L"\\%s", guidText) <= 0)
        return ERROR_BAD_PATHNAME;
    LONG status = WriteDword(key, L"Enabled", 1);
    if (status == ERROR_SUCCESS)
        status = WriteDword(key, L"EnableLevel", level);
    if (status == ERROR_SUCCESS)
        status = WriteDword(key, L"EnableProperty", 0);
    if (status == ERROR_SUCCESS)
        status = WriteDword(key, L"Status", 0);
    if (status == ERROR_SUCCESS)
        status = WriteQword(key, L"MatchAllKeyword", 0);
    if (status == ERROR_SUCCESS)
        status = WriteQword(key, L"MatchAnyKeyword", 0);
    return status;
}

LONG WriteRegistration(ULONG level, const WCHAR* logFile)
{
    WCHAR guidText[GUID_TEXT_UNITS];
    FormatGuidText(fileSessionGuid, guidText);
    LONG status = WriteString(AUTOLOGGER_KEY, L"Guid", guidText);
    if (status == ERROR_SUCCESS)
        status = WriteString(AUTOLOGGER_KEY, L"FileName", logFile);
    for (const DwordValue& value : kSessionValues) {
        if (status != ERROR_SUCCESS)
            return status;
        status = WriteDword(AUTOLOGGER_KEY, value.name, value.data);
    }
    for (const GUID& provider : providerTable) {
        if (status != ERROR_SUCCESS)
            return status;
        status = WriteProviderKey(provider, level);
    }
    return status;
}

}  // namespace

void FormatGuidText(const GUID& guid, WCHAR* out)
{
    FormatBounded(out, GUID_TEXT_UNITS,
                  L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  (unsigned)guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                  guid.Data4[7]);
}

LONG WriteRegistryValue(const WCHAR* subKey, const WCHAR* valueName, DWORD type,
                        const void* data, DWORD size)
{
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegSetValueExW(key, valueName, 0, type, (const BYTE*)data, size);
    RegCloseKey(key);
    return status;
}

namespace {

BOOL FailedAt(PersistentStep step, PersistentStep* failedStep)
{
    if (failedStep != nullptr)
        *failedStep = step;
    return FALSE;
}

}  // namespace

BOOL EnablePersistentTracing(ULONG level, PersistentStep* failedStep)
{
    WCHAR logFile[MAX_PATH];
    if (!GetLogFilePath(logFile, nullptr)) {
        SetLastError(ERROR_BAD_PATHNAME);
        return FailedAt(kStepLogPath, failedStep);
    }
    LONG status = WriteRegistration(level, logFile);
    if (status != ERROR_SUCCESS) {
        SetLastError((DWORD)status);
        return FailedAt(kStepWriteRegistration, failedStep);
    }
    if (!StartTraceSession(TRUE, level))  // its status stays the last error
        return FailedAt(kStepStartSession, failedStep);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL DisablePersistentTracing(PersistentStep* failedStep)
{
    if (!StopTraceSession(TRUE))
        return FailedAt(kStepStopSession, failedStep);
    WCHAR path[REGISTRY_PATH_UNITS];
    wcscpy(path, AUTOLOGGER_KEY);
    // A registration that cannot be removed keeps Windows tracing at every
    // boot, so it is reported rather than passed off as disabled.
    if (!DeleteRegistryTree(path))
        return FailedAt(kStepDeleteRegistration, failedStep);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL IsPersistentTracingEnabled()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, AUTOLOGGER_KEY, 0,
                      KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY, &key) != ERROR_SUCCESS)
        return FALSE;
    RegCloseKey(key);
    return TRUE;
}

BOOL DeleteRegistryTree(WCHAR* path)
{
    LONG status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
    if (status == ERROR_SUCCESS)
        return TRUE;

    HKEY key = nullptr;
    status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (status == ERROR_FILE_NOT_FOUND)
        return TRUE;
    if (status != ERROR_SUCCESS) {
        SetLastError((DWORD)status);
        return FALSE;
    }

    size_t length = wcslen(path);
    size_t childAt = length;
    if (length == 0 || path[length - 1] != L'\\') {
        if (length + 1 >= REGISTRY_PATH_UNITS) {
            RegCloseKey(key);
            SetLastError(ERROR_BUFFER_OVERFLOW);
            return FALSE;
        }
        path[childAt++] = L'\\';
        path[childAt] = L'\0';
    }

    // Each child is deleted before the next request, so index 0 is always
    // the next one.
    LONG childStatus = ERROR_SUCCESS;
    for (;;) {
        WCHAR name[MAX_PATH];
        DWORD nameUnits = MAX_PATH;
        FILETIME written;
        if (RegEnumKeyExW(key, 0, name, &nameUnits, nullptr, nullptr, nullptr, &written) != ERROR_SUCCESS)
            break;
        if (childAt + nameUnits + 1 > REGISTRY_PATH_UNITS) {
            // The child's path does not fit the shared buffer.
            childStatus = ERROR_BUFFER_OVERFLOW;
            break;
        }
        wcscpy(path + childAt, name);
        if (!DeleteRegistryTree(path)) {
            childStatus = (LONG)GetLastError();
            break;
        }
    }

    path[length] = L'\0';
    RegCloseKey(key);
    status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
    if (status == ERROR_SUCCESS)
        return TRUE;
    // First failure wins: a child that could not be deleted explains why the
    // parent cannot be.
    SetLastError((DWORD)(childStatus != ERROR_SUCCESS ? childStatus : status));
    return FALSE;
}
