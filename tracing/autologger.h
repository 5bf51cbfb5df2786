// Persistent tracing: the ETW autologger registration under
// HKEY_LOCAL_MACHINE that makes Windows start the file session at every
// boot. GUI thread only.
#pragma once

#include <windows.h>

#define AUTOLOGGER_KEY        L"SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger\\Quorvel"
#define GUID_TEXT_UNITS       40
#define REGISTRY_PATH_UNITS   520

// The step of Enable or Disable that failed, for callers that name it.
enum PersistentStep {
    kStepNone,
    kStepLogPath,               // the log file path could not be built
    kStepWriteRegistration,
    kStepStartSession,
    kStepStopSession,
    kStepDeleteRegistration,
};

// Writes the registration with `level` as every provider's "EnableLevel",
// then starts the file session. FALSE + the last error of the failing step,
// which `failedStep` receives when given; what was written before it stays.
BOOL EnablePersistentTracing(ULONG level, PersistentStep* failedStep = nullptr);

// Stops the file session, then deletes the registration. FALSE + the last
// error when the stop fails (nothing deleted) or when the key tree cannot be
// deleted (the stop stays done); `failedStep` as for Enable.
BOOL DisablePersistentTracing(PersistentStep* failedStep = nullptr);

// TRUE when the autologger key exists and can be opened; no last error.
BOOL IsPersistentTracingEnabled();

// Writes one value below HKEY_LOCAL_MACHINE, creating the key if needed.
// Returns the Win32 status; `size` is in bytes.
LONG WriteRegistryValue(const WCHAR* subKey, const WCHAR* valueName, DWORD type,
                        const void* data, DWORD size);

// Deletes the key at `path` (below HKEY_LOCAL_MACHINE, in a writable buffer of
// REGISTRY_PATH_UNITS units that is extended and restored while descending)
// with everything below it. TRUE when the key is gone or never existed; on
// FALSE the last error is the failing step's status.
BOOL DeleteRegistryTree(WCHAR* path);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case, into GUID_TEXT_UNITS units.
void FormatGuidText(const GUID& guid, WCHAR* out);
