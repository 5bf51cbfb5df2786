#include "console/console_commands.h"

#include <evntrace.h>
#include <stdarg.h>
#include <wchar.h>

#include "common/wide_format.h"
#include "console/console_bundle.h"
#include "console/console_output.h"
#include "console/console_status.h"
#include "export/log_export.h"
#include "tracing/autologger.h"
#include "tracing/trace_session.h"

namespace {

const WCHAR kUsage[] =
    L"Usage: " CONSOLE_PROGRAM_NAME L" COMMAND [OPTION]\n"
    L"\n"
    L"Persistent tracing of the Quorvel smart-card components, for scripts.\n"
    L"\n"
    L"  status [--json]      Whether persistent tracing is registered and at which\n"
    L"                       level, whether the file session \"Quorvel\" runs, and each\n"
    L"                       log file with its size, events, first and last event\n"
    L"                       (UTC) and what was lost. --json: as one JSON object.\n"
    L"  enable [--level N]   Registers persistent tracing and starts the file session;\n"
    L"                       N from 1 (Critical) to 5 (Verbose, the default).\n"
    L"  disable              Stops the file session and removes the registration; the\n"
    L"                       log files stay.\n"
    L"  save FILE            Writes the log files into FILE as one UTF-16 text, as\n"
    L"                       \"Save the log\" does; an existing FILE is replaced.\n"
    L"  bundle FOLDER        Writes into FOLDER (created if missing) the text export\n"
    L"                       " BUNDLE_EXPORT_NAME L", copies of the log files and "
    BUNDLE_MANIFEST_NAME L".\n"
    L"  --help               Shows this text.\n"
    L"\n"
    L"Exit codes: 0 done, 1 failed, 2 bad arguments, 3 needs administrator rights\n"
    L"(enable, disable, save and bundle run elevated or as SYSTEM; status does not\n"
    L"need it). Redirected output is UTF-8.\n";

enum ConsoleCommand {
    kCommandHelp,
    kCommandStatus,
    kCommandEnable,
    kCommandDisable,
    kCommandSave,
    kCommandBundle
};

struct ConsoleOptions {
    ConsoleCommand command = kCommandHelp;
    BOOL json = FALSE;
    ULONG level = TRACE_LEVEL_VERBOSE;
    const WCHAR* target = nullptr;  // FILE or FOLDER
};

BOOL IsHelp(const WCHAR* argument)
{
    return _wcsicmp(argument, L"--help") == 0 || _wcsicmp(argument, L"-h") == 0 ||
           wcscmp(argument, L"/?") == 0;
}

// FALSE with the reason in `error` when the command line is not one of the usage's.
BOOL ParseConsoleOptions(int argc, WCHAR** argv, ConsoleOptions* options, std::wstring* error)
{
    for (int i = 1; i < argc; ++i) {
        if (IsHelp(argv[i])) {
            options->command = kCommandHelp;
            return TRUE;
        }
    }
    if (argc < 2) {
        *error = L"no command given.";
        return FALSE;
    }
    const WCHAR* command = argv[1];
    int rest = argc - 2;
    WCHAR** args = argv + 2;
    if (_wcsicmp(command, L"status") == 0) {
        options->command = kCommandStatus;
        options->json = rest == 1 && _wcsicmp(args[0], L"--json") == 0;
        if (rest > 1 || (rest == 1 && !options->json)) {
            *error = L"status takes only --json.";
            return FALSE;
        }
    } else if (_wcsicmp(command, L"enable") == 0) {
        options->command = kCommandEnable;
        if (rest == 0)
            return TRUE;
        if (rest != 2 || _wcsicmp(args[0], L"--level") != 0) {
            *error = L"enable takes only --level N.";
            return FALSE;
        }
        if (wcslen(args[1]) != 1 || args[1][0] < L'1' || args[1][0] > L'5') {
            *error = L"--level takes a level from 1 (Critical) to 5 (Verbose).";
            return FALSE;
        }
        options->level = args[1][0] - L'0';
    } else if (_wcsicmp(command, L"disable") == 0) {
        options->command = kCommandDisable;
        if (rest != 0) {
            *error = L"disable takes no arguments.";
            return FALSE;
        }
    } else if (_wcsicmp(command, L"save") == 0 || _wcsicmp(command, L"bundle") == 0) {
        BOOL save = _wcsicmp(command, L"save") == 0;
        options->command = save ? kCommandSave : kCommandBundle;
        if (rest != 1 || args[0][0] == L'\0') {
            *error = save ? L"save takes one FILE." : L"bundle takes one FOLDER.";
            return FALSE;
        }
        options->target = args[0];
    } else {
        *error = L"unknown command \"";
        *error += command;
        *error += L"\".";
        return FALSE;
    }
    return TRUE;
}

// Elevation of the token in force: the thread's while it impersonates, else
// the process's. An administrator's token that Windows filtered (a prompt
// that was not run as administrator) is not elevated; SYSTEM's is. FALSE +
// last error when the token cannot be read.
BOOL IsElevated(BOOL* elevated)
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        if (GetLastError() != ERROR_NO_TOKEN ||
            !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return FALSE;
    }
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    BOOL read = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
    DWORD status = read ? ERROR_SUCCESS : GetLastError();
    CloseHandle(token);
    *elevated = read && elevation.TokenIsElevated != 0;
    SetLastError(status);
    return read;
}

int RunStatus(const ConsoleOptions& options, std::wstring* out, std::wstring* err)
{
    PersistentState state;
    if (!ReadPersistentState(&state, TRUE))
        return AppendFailure(err, GetLastError(), L"building the log directory's path");
    if (options.json) {
        AppendStatusJson(out, state);
        out->append(L"\n");
    } else {
        AppendStatusText(out, state);
    }
    return CONSOLE_EXIT_DONE;
}

int RunEnable(ULONG level, std::wstring* out, std::wstring* err)
{
    WCHAR logFile[MAX_PATH] = L"";
    GetLogFilePath(logFile, nullptr);
    PersistentStep step = kStepNone;
    if (EnablePersistentTracing(level, &step)) {
        out->append(L"Persistent tracing enabled at ");
        AppendLevelText(out, level);
        Append(out, L": the file session \"" FILE_SESSION_NAME L"\" writes %s, and Windows starts it again "
                    L"at every boot.\n", logFile);
        return CONSOLE_EXIT_DONE;
    }
    DWORD code = GetLastError();
    switch (step) {
    case kStepStartSession:
        // Enabled before, or started by Windows at boot: the session goes on
        // writing, and the registration now holds the level asked for.
        if (code == ERROR_ALREADY_EXISTS) {
            out->append(L"Persistent tracing registered at ");
            AppendLevelText(out, level);
            out->append(L"; the file session \"" FILE_SESSION_NAME L"\" was already running and keeps "
                        L"its level until the next restart.\n");
            return CONSOLE_EXIT_DONE;
        }
        return AppendFailure(err, code,
                             L"enable: starting the file session \"" FILE_SESSION_NAME L"\"");
    case kStepWriteRegistration:
        return AppendFailure(err, code, L"enable: writing the registration HKLM\\" AUTOLOGGER_KEY);
    default:
        return AppendFailure(err, code, L"enable: building the log file's path");
    }
}

int RunDisable(std::wstring* out, std::wstring* err)
{
    WCHAR logDirectory[MAX_PATH] = L"";
    GetLogDirectory(logDirectory);
    PersistentStep step = kStepNone;
    if (!DisablePersistentTracing(&step)) {
        if (step == kStepStopSession)
            return AppendFailure(err, GetLastError(),
                                 L"disable: stopping the file session \"" FILE_SESSION_NAME L"\"");
        return AppendFailure(err, GetLastError(),
                             L"disable: removing the registration HKLM\\" AUTOLOGGER_KEY);
    }
    Append(out, L"Persistent tracing disabled: the file session \"" FILE_SESSION_NAME
                L"\" is stopped and the registration removed; the log files stay in %s.\n",
           logDirectory);
    return CONSOLE_EXIT_DONE;
}

int RunSave(const WCHAR* target, std::wstring* out, std::wstring* err)
{
    WCHAR path[MAX_PATH];
    if (!GetAbsolutePath(target, path))
        return AppendFailure(err, GetLastError(), L"save: resolving the path \"%s\"", target);
    if (!WriteLogExport(path))
        return AppendFailure(err, GetLastError(), L"save: writing the export %s", path);
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    GetFileAttributesExW(path, GetFileExInfoStandard, &attributes);
    ULONG64 bytes = ((ULONG64)attributes.nFileSizeHigh << 32) | attributes.nFileSizeLow;
    if (bytes != 0) {
        Append(out, L"Saved the log to %s (%I64u bytes).\n", path, bytes);
        return CONSOLE_EXIT_DONE;
    }
    // Every log file that opens gives the export at least its banner: an
    // empty export read none, which a script must not take for a log.
    PersistentState state;
    if (!ReadPersistentState(&state, TRUE) || state.fileCount == 0) {
        Append(err, CONSOLE_PROGRAM_NAME L": save: there is no log file in %s; %s is empty.\n",
               state.logDirectory, path);
        return CONSOLE_EXIT_FAILED;
    }
    AppendFailure(err, state.files[0].status, L"save: reading %s", state.files[0].path);
    err->insert(err->size() - 1,
                L" No log file could be read; " + std::wstring(path) + L" is empty.");
    return CONSOLE_EXIT_FAILED;
}

int RunCommand(const ConsoleOptions& options, std::wstring* out, std::wstring* err)
{
    switch (options.command) {
    case kCommandHelp:
        out->append(kUsage);
        return CONSOLE_EXIT_DONE;
    case kCommandStatus:
        return RunStatus(options, out, err);
    default:
        break;
    }
    BOOL elevated = FALSE;
    if (!IsElevated(&elevated))
        return AppendFailure(err, GetLastError(), L"reading the process's token");
    if (!elevated) {
        // Never a consent prompt: a remote session or a script cannot answer it.
        Append(err, CONSOLE_PROGRAM_NAME
               L": this command needs administrator rights; nothing was done. Run it from an elevated "
               L"prompt, or as SYSTEM (Intune, Configuration Manager, a scheduled task).\n");
        return CONSOLE_EXIT_NEEDS_ADMIN;
    }
    switch (options.command) {
    case kCommandEnable:
        return RunEnable(options.level, out, err);
    case kCommandDisable:
        return RunDisable(out, err);
    case kCommandSave:
        return RunSave(options.target, out, err);
    default: {
        WCHAR folder[MAX_PATH];
        if (!GetAbsolutePath(options.target, folder))
            return AppendFailure(err, GetLastError(), L"bundle: resolving the path \"%s\"",
                                 options.target);
        return RunBundle(folder, out, err);
    }
    }
}

}  // namespace

int AppendFailure(std::wstring* err, DWORD code, const WCHAR* stepFormat, ...)
{
    va_list args;
    va_start(args, stepFormat);
    WCHAR step[2 * MAX_PATH + 256];
    FormatTruncatingV(step, sizeof(step) / sizeof(step[0]), stepFormat, args);
    va_end(args);
    Append(err, CONSOLE_PROGRAM_NAME L": %s failed: ", step);
    AppendSystemError(err, code);
    err->append(L"\n");
    return CONSOLE_EXIT_FAILED;
}

BOOL GetAbsolutePath(const WCHAR* path, WCHAR* out)
{
    DWORD units = GetFullPathNameW(path, MAX_PATH, out, nullptr);
    if (units == 0)
        return FALSE;
    if (units >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    return TRUE;
}

int RunConsoleCommand(int argc, WCHAR** argv, HANDLE out, HANDLE err)
{
    ConsoleOptions options;
    std::wstring error;
    std::wstring outText;
    std::wstring errText;
    int exitCode;
    if (ParseConsoleOptions(argc, argv, &options, &error)) {
        exitCode = RunCommand(options, &outText, &errText);
    } else {
        errText = CONSOLE_PROGRAM_NAME L": " + error + L"\n\n" + kUsage;
        exitCode = CONSOLE_EXIT_BAD_ARGUMENTS;
    }
    // Output that cannot be written is a failure the script must see.
    if (!WriteText(out, outText) && exitCode == CONSOLE_EXIT_DONE)
        exitCode = AppendFailure(&errText, GetLastError(), L"writing to standard output");
    WriteText(err, errText);
    return exitCode;
}
