#include "console/console_bundle.h"

#include <wincrypt.h>

#include "common/wide_format.h"
#include "console/console_commands.h"
#include "console/console_output.h"
#include "console/console_status.h"
#include "export/log_export.h"
#include "res/resource.h"
#include "tracing/autologger.h"

#define SHA256_BYTES      32
#define SHA256_TEXT_UNITS (2 * SHA256_BYTES + 1)
#define COPY_CHUNK_BYTES  (1024 * 1024)

namespace {

// A file's SHA-256 through the base CryptoAPI provider of advapi32, which
// every Windows has (bcrypt.dll is not among the DLLs taken from System32
// whatever the search order).
struct Sha256 {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    Sha256() = default;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    ~Sha256()
    {
        if (hash != 0)
            CryptDestroyHash(hash);
        if (provider != 0)
            CryptReleaseContext(provider, 0);
    }
};

// Closes a file handle on every way out.
struct FileHandle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    FileHandle() = default;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
};

// Reads `source` to its end, writing every byte to `destination` (created
// or replaced) unless that is null, and gives the SHA-256 of what was read
// in lower-case hex. The source is opened so that the session may go on
// writing it (and Windows rotating it): what the copy holds is what was
// there while it was read. FALSE + last error; *failedStep names the step.
BOOL CopyAndHash(const WCHAR* source, const WCHAR* destination, WCHAR* sha256,
                 const WCHAR** failedStep)
{
    Sha256 sha;
    *failedStep = L"computing the SHA-256 of";
    if (!CryptAcquireContextW(&sha.provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
        !CryptCreateHash(sha.provider, CALG_SHA_256, 0, 0, &sha.hash))
        return FALSE;
    FileHandle in, out;
    *failedStep = L"reading";
    in.handle =
        CreateFileW(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in.handle == INVALID_HANDLE_VALUE)
        return FALSE;
    if (destination != nullptr) {
        *failedStep = L"copying it to";
        out.handle = CreateFileW(destination, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (out.handle == INVALID_HANDLE_VALUE)
            return FALSE;
    }
    std::string chunk(COPY_CHUNK_BYTES, '\0');
    for (;;) {
        DWORD read = 0;
        *failedStep = L"reading";
        if (!ReadFile(in.handle, &chunk[0], COPY_CHUNK_BYTES, &read, nullptr))
            return FALSE;
        if (read == 0)
            break;
        *failedStep = L"computing the SHA-256 of";
        if (!CryptHashData(sha.hash, (const BYTE*)chunk.data(), read, 0))
            return FALSE;
        DWORD written = 0;
        *failedStep = L"copying it to";
        if (out.handle != INVALID_HANDLE_VALUE &&
            !WriteFile(out.handle, chunk.data(), read, &written, nullptr))
            return FALSE;
        if (out.handle != INVALID_HANDLE_VALUE && written != read) {
            SetLastError(ERROR_DISK_FULL);  // a disk file is written whole or not at all
            return FALSE;
        }
    }
    BYTE digest[SHA256_BYTES];
    DWORD size = sizeof(digest);
    *failedStep = L"computing the SHA-256 of";
    if (!CryptGetHashParam(sha.hash, HP_HASHVAL, digest, &size, 0))
        return FALSE;
    for (DWORD i = 0; i < SHA256_BYTES; ++i)
        FormatBounded(sha256 + 2 * i, 3, L"%02x", digest[i]);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// Creates `folder` and its missing parents. Parents that cannot be created
// (a share's \\server) are passed over: the folder's own creation says
// whether the path holds.
BOOL CreateFolder(const WCHAR* folder)
{
    WCHAR prefix[MAX_PATH];
    wcscpy(prefix, folder);
    for (WCHAR* at = prefix + 1; *at != L'\0'; ++at) {
        if (*at != L'\\' || at[-1] == L'\\' || at[-1] == L':')
            continue;
        *at = L'\0';
        CreateDirectoryW(prefix, nullptr);
        *at = L'\\';
    }
    if (CreateDirectoryW(folder, nullptr))
        return TRUE;
    DWORD status = GetLastError();
    DWORD attributes = GetFileAttributesW(folder);
    if (status == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return TRUE;
    SetLastError(status);
    return FALSE;
}

// The values of a key and of its subkeys, as {"values":{...},"keys":{...}}:
// strings as strings, DWORD and QWORD values as numbers, any other type as
// its bytes in hex.
void AppendKeyJson(std::wstring* text, HKEY key)
{
    text->append(L"{\"values\":{");
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD nameUnits = 256;
        BYTE data[4096];
        DWORD type = 0;
        DWORD size = sizeof(data) - sizeof(WCHAR);
        LONG status = RegEnumValueW(key, index, name, &nameUnits, nullptr, &type, data, &size);
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA)
            break;
        if (index > 0)
            text->append(L",");
        AppendJsonString(text, name);
        text->append(L":");
        if (status == ERROR_MORE_DATA) {
            text->append(L"null");  // no value of the registration is that long
        } else if (type == REG_DWORD && size == sizeof(DWORD)) {
            Append(text, L"%u", *(const DWORD*)data);
        } else if (type == REG_QWORD && size == sizeof(ULONG64)) {
            Append(text, L"%I64u", *(const ULONG64*)data);
        } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
            data[size] = 0;
            data[size + 1] = 0;
            AppendJsonString(text, (const WCHAR*)data);
        } else {
            text->append(L"\"");
            for (DWORD i = 0; i < size; ++i)
                Append(text, L"%02x", data[i]);
            text->append(L"\"");
        }
    }
    text->append(L"},\"keys\":{");
    BOOL first = TRUE;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD nameUnits = 256;
        if (RegEnumKeyExW(key, index, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS)
            continue;
        if (!first)
            text->append(L",");
        first = FALSE;
        AppendJsonString(text, name);
        text->append(L":");
        AppendKeyJson(text, child);
        RegCloseKey(child);
    }
    text->append(L"}}");
}

void AppendMachineJson(std::wstring* text)
{
    WCHAR computer[MAX_COMPUTERNAME_LENGTH + 256] = L"";
    DWORD units = sizeof(computer) / sizeof(computer[0]);
    GetComputerNameExW(ComputerNameDnsFullyQualified, computer, &units);
    text->append(L"\"computer\":");
    AppendJsonString(text, computer);

    // RtlGetVersion tells the truth where GetVersionEx reports the Windows
    // of the program's compatibility manifest.
    RTL_OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    auto* rtlGetVersion = reinterpret_cast<LONG(WINAPI*)(RTL_OSVERSIONINFOW*)>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion"));
    if (rtlGetVersion != nullptr && rtlGetVersion(&version) == 0)
        Append(text, L",\"windows\":{\"version\":\"%u.%u.%u\",\"build\":%u,\"servicePack\":",
               version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber,
               version.dwBuildNumber);
    else
        text->append(L",\"windows\":{\"version\":null,\"build\":null,\"servicePack\":");
    AppendJsonString(text, version.szCSDVersion);

    DYNAMIC_TIME_ZONE_INFORMATION zone = {};
    DWORD zoneId = GetDynamicTimeZoneInformation(&zone);
    text->append(L"},\"timeZone\":{\"name\":");
    AppendJsonString(text, zone.TimeZoneKeyName);
    text->append(L",\"standardName\":");
    AppendJsonString(text, zone.StandardName);
    text->append(L",\"daylightName\":");
    AppendJsonString(text, zone.DaylightName);
    // Minutes to add to local time for UTC, as Windows counts them.
    Append(text,
           L",\"biasMinutes\":%d,\"standardBiasMinutes\":%d,\"daylightBiasMinutes\":%d,"
           L"\"daylightNow\":%s}",
           (int)zone.Bias, (int)zone.StandardBias, (int)zone.DaylightBias,
           zoneId == TIME_ZONE_ID_DAYLIGHT ? L"true" : L"false");
}

}  // namespace

int RunBundle(const WCHAR* folder, std::wstring* out, std::wstring* err)
{
    if (!CreateFolder(folder))
        return AppendFailure(err, GetLastError(), L"bundle: creating the folder %s", folder);
    // The registration and the session; the files are summarised from their copies.
    PersistentState state;
    if (!ReadPersistentState(&state, FALSE))
        return AppendFailure(err, GetLastError(), L"bundle: building the log directory's path");

    // The raw files first, as close together in time as can be; a copy left
    // by an earlier bundle of a file that is gone now would mislead.
    LogFileState copies[EXPORT_LOG_FILES];
    WCHAR hashes[EXPORT_LOG_FILES][SHA256_TEXT_UNITS];
    ULONG copyCount = 0;
    for (int i = 0; i < EXPORT_LOG_FILES; ++i) {
        LogFileState& copy = copies[copyCount];
        FormatLogFileName(i, copy.name);
        WCHAR source[MAX_PATH];
        if (FormatBounded(source, MAX_PATH, L"%s\\%s", state.logDirectory, copy.name) <= 0 ||
            FormatBounded(copy.path, MAX_PATH, L"%s\\%s", folder, copy.name) <= 0)
            return AppendFailure(err, ERROR_FILENAME_EXCED_RANGE,
                                 L"bundle: building the paths of %s", copy.name);
        if (GetFileAttributesW(source) == INVALID_FILE_ATTRIBUTES &&
            (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
            DeleteFileW(copy.path);
            continue;
        }
        const WCHAR* step = L"";
        if (!CopyAndHash(source, copy.path, hashes[copyCount], &step))
            return AppendFailure(err, GetLastError(), L"bundle: %s %s", step,
                                 wcscmp(step, L"copying it to") == 0 ? copy.path : source);
        copy.status = SummarizeLogFile(copy.path, &copy.summary) ? ERROR_SUCCESS : GetLastError();
        ++copyCount;
    }

    WCHAR exportPath[MAX_PATH];
    WCHAR exportHash[SHA256_TEXT_UNITS];
    const WCHAR* step = L"";
    if (FormatBounded(exportPath, MAX_PATH, L"%s\\" BUNDLE_EXPORT_NAME, folder) <= 0 ||
        !WriteLogExport(exportPath))
        return AppendFailure(err, GetLastError(), L"bundle: writing the export %s", exportPath);
    if (!CopyAndHash(exportPath, nullptr, exportHash, &step))
        return AppendFailure(err, GetLastError(), L"bundle: %s %s", step, exportPath);

    std::wstring manifest;
    Append(&manifest, L"{\"program\":\"" CONSOLE_PROGRAM_NAME L" %S\",\"created\":", QV_VERSION_A);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    AppendTime(&manifest, now, TRUE);
    manifest.append(L",");
    AppendMachineJson(&manifest);
    manifest.append(L",");
    AppendRegistrationAndSessionJson(&manifest, state);
    manifest.append(L",\"autologger\":{\"key\":");
    AppendJsonString(&manifest, L"HKLM\\" AUTOLOGGER_KEY);
    manifest.append(L",\"content\":");
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, AUTOLOGGER_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        AppendKeyJson(&manifest, key);
        RegCloseKey(key);
    } else {
        manifest.append(L"null");
    }
    manifest.append(L"},\"logDirectory\":");
    AppendJsonString(&manifest, state.logDirectory);
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    GetFileAttributesExW(exportPath, GetFileExInfoStandard, &attributes);
    Append(&manifest, L",\"export\":{\"name\":\"" BUNDLE_EXPORT_NAME L"\",\"bytes\":%I64u,\"sha256\":\"%s\"},"
                      L"\"files\":[",
           ((ULONG64)attributes.nFileSizeHigh << 32) | attributes.nFileSizeLow, exportHash);
    for (ULONG i = 0; i < copyCount; ++i) {
        if (i > 0)
            manifest.append(L",");
        AppendLogFileJson(&manifest, copies[i], hashes[i]);
    }
    manifest.append(L"]}\n");

    WCHAR manifestPath[MAX_PATH];
    FileHandle file;
    if (FormatBounded(manifestPath, MAX_PATH, L"%s\\" BUNDLE_MANIFEST_NAME, folder) <= 0) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
    } else {
        file.handle =
            CreateFileW(manifestPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    }
    if (file.handle == INVALID_HANDLE_VALUE || !WriteText(file.handle, manifest))
        return AppendFailure(err, GetLastError(),
                             L"bundle: writing the manifest %s\\" BUNDLE_MANIFEST_NAME, folder);

    Append(out, L"Bundle written to %s: " BUNDLE_EXPORT_NAME, folder);
    for (ULONG i = 0; i < copyCount; ++i)
        Append(out, L", %s", copies[i].name);
    out->append(L", " BUNDLE_MANIFEST_NAME L".\n");
    if (copyCount == 0)
        Append(out, L"There is no log file in %s; the manifest records the registration only.\n",
               state.logDirectory);
    return CONSOLE_EXIT_DONE;
}
