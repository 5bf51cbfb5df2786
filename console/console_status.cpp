#include "console/console_status.h"

#include "common/wide_format.h"
#include "console/console_output.h"
#include "tracing/autologger.h"
#include "tracing/trace_session.h"

namespace {

const WCHAR* const kLevelNames[] = {L"Critical", L"Error", L"Warning", L"Information", L"Verbose"};

void ReadRegistration(RegistrationState* state)
{
    ZeroMemory(state, sizeof(*state));
    HKEY key = nullptr;
    // Read access only: Windows lets a user without administrator rights read it.
    state->status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, AUTOLOGGER_KEY, 0, KEY_READ, &key);
    if (state->status != ERROR_SUCCESS)
        return;
    state->levelsAgree = TRUE;
    for (const GUID& provider : providerTable) {
        WCHAR guidText[GUID_TEXT_UNITS];
        FormatGuidText(provider, guidText);
        DWORD level = 0;
        DWORD size = sizeof(level);
        if (RegGetValueW(key, guidText, L"EnableLevel", RRF_RT_REG_DWORD, nullptr, &level, &size) !=
            ERROR_SUCCESS)
            continue;
        if (state->providersWithLevel++ == 0)
            state->level = level;
        else if (level != state->level)
            state->levelsAgree = FALSE;
    }
    RegCloseKey(key);
}

void AppendRegistrationText(std::wstring* text, const RegistrationState& registration)
{
    text->append(L"Persistent tracing: ");
    if (registration.status == ERROR_FILE_NOT_FOUND) {
        text->append(L"not registered\n");
        return;
    }
    if (registration.status != ERROR_SUCCESS) {
        text->append(L"the registration cannot be read: ");
        AppendSystemError(text, registration.status);
        text->append(L"\n");
        return;
    }
    text->append(L"registered, ");
    if (registration.providersWithLevel == 0) {
        text->append(L"no provider has a level\n");
    } else if (!registration.levelsAgree) {
        text->append(L"the providers' levels differ\n");
    } else {
        AppendLevelText(text, registration.level);
        if (registration.providersWithLevel < PROVIDER_COUNT)
            Append(text, L" for %u of %u providers", registration.providersWithLevel,
                   PROVIDER_COUNT);
        text->append(L"\n");
    }
}

void AppendSessionText(std::wstring* text, const PersistentState& state)
{
    text->append(L"File session \"" FILE_SESSION_NAME L"\": ");
    if (state.sessionStatus == ERROR_SUCCESS) {
        Append(text, L"running, %u event(s) lost\n", state.sessionEventsLost);
    } else if (state.sessionStatus == ERROR_WMI_INSTANCE_NOT_FOUND) {
        text->append(L"not running\n");
    } else {
        text->append(L"cannot be queried: ");
        AppendSystemError(text, state.sessionStatus);
        text->append(L"\n");
    }
}

void AppendLogFileText(std::wstring* text, const LogFileState& file)
{
    Append(text, L"  %s: ", file.name);
    if (file.status == ERROR_SUCCESS || file.summary.fileBytes != 0)
        Append(text, L"%I64u bytes, ", file.summary.fileBytes);
    if (file.status != ERROR_SUCCESS) {
        text->append(L"not readable as a log: ");
        AppendSystemError(text, file.status);
        text->append(L"\n");
        return;
    }
    if (file.summary.events == 0) {
        text->append(L"no events");
    } else {
        Append(text, L"%I64u event(s) from ", file.summary.events);
        AppendTime(text, file.summary.firstEvent, FALSE);
        text->append(L" to ");
        AppendTime(text, file.summary.lastEvent, FALSE);
        text->append(L" UTC");
    }
    Append(text, L", lost while written: %u event(s), %u buffer(s)\n", file.summary.eventsLost,
           file.summary.buffersLost);
}

}  // namespace

void FormatLogFileName(int index, WCHAR* out)
{
    if (index == 0)
        FormatBounded(out, LOG_FILE_NAME_UNITS, L"Quorvel.etl");
    else
        FormatBounded(out, LOG_FILE_NAME_UNITS, L"Quorvel.etl.%03d", index);
}

BOOL ReadPersistentState(PersistentState* state, BOOL withFiles)
{
    ZeroMemory(state, sizeof(*state));
    ReadRegistration(&state->registration);
    TraceSessionLosses losses;
    state->sessionStatus = QueryTraceSession(TRUE, &losses);
    state->sessionEventsLost = losses.eventsLost;
    if (!GetLogDirectory(state->logDirectory)) {
        SetLastError(ERROR_BAD_PATHNAME);
        return FALSE;
    }
    for (int i = 0; withFiles && i < EXPORT_LOG_FILES; ++i) {
        LogFileState& file = state->files[state->fileCount];
        FormatLogFileName(i, file.name);
        if (FormatBounded(file.path, MAX_PATH, L"%s\\%s", state->logDirectory, file.name) <= 0)
            continue;
        file.status = SummarizeLogFile(file.path, &file.summary) ? ERROR_SUCCESS : GetLastError();
        // A file that is not there is no news; one that cannot be looked at is.
        if (file.status != ERROR_FILE_NOT_FOUND && file.status != ERROR_PATH_NOT_FOUND)
            ++state->fileCount;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

void AppendLevelText(std::wstring* text, ULONG level)
{
    if (level >= 1 && level <= 5)
        Append(text, L"level %u (%s)", level, kLevelNames[level - 1]);
    else
        Append(text, L"level %u", level);
}

void AppendStatusText(std::wstring* text, const PersistentState& state)
{
    AppendRegistrationText(text, state.registration);
    AppendSessionText(text, state);
    Append(text, L"Log files in %s:%s\n", state.logDirectory,
           state.fileCount == 0 ? L" none" : L"");
    for (ULONG i = 0; i < state.fileCount; ++i)
        AppendLogFileText(text, state.files[i]);
}

void AppendRegistrationAndSessionJson(std::wstring* text, const PersistentState& state)
{
    const RegistrationState& registration = state.registration;
    text->append(L"\"registration\":{\"registered\":");
    if (registration.status == ERROR_SUCCESS) {
        text->append(L"true,\"level\":");
        if (registration.providersWithLevel > 0 && registration.levelsAgree)
            Append(text, L"%u", registration.level);
        else
            text->append(L"null");
        Append(text, L",\"providersWithLevel\":%u}", registration.providersWithLevel);
    } else if (registration.status == ERROR_FILE_NOT_FOUND) {
        text->append(L"false}");
    } else {
        Append(text, L"null,\"status\":%u,\"error\":", (DWORD)registration.status);
        std::wstring error;
        AppendSystemError(&error, registration.status);
        AppendJsonString(text, error.c_str());
        text->append(L"}");
    }

    text->append(L",\"session\":{\"name\":\"" FILE_SESSION_NAME L"\",\"running\":");
    if (state.sessionStatus == ERROR_SUCCESS) {
        Append(text, L"true,\"eventsLost\":%u}", state.sessionEventsLost);
    } else if (state.sessionStatus == ERROR_WMI_INSTANCE_NOT_FOUND) {
        text->append(L"false}");
    } else {
        Append(text, L"null,\"status\":%u,\"error\":", state.sessionStatus);
        std::wstring error;
        AppendSystemError(&error, state.sessionStatus);
        AppendJsonString(text, error.c_str());
        text->append(L"}");
    }
}

void AppendLogFileJson(std::wstring* text, const LogFileState& file, const WCHAR* sha256)
{
    text->append(L"{\"name\":");
    AppendJsonString(text, file.name);
    Append(text, L",\"bytes\":%I64u", file.summary.fileBytes);
    if (sha256 != nullptr) {
        text->append(L",\"sha256\":");
        AppendJsonString(text, sha256);
    }
    if (file.status != ERROR_SUCCESS) {
        Append(text, L",\"status\":%u,\"error\":", file.status);
        std::wstring error;
        AppendSystemError(&error, file.status);
        AppendJsonString(text, error.c_str());
        text->append(L"}");
        return;
    }
    Append(text, L",\"events\":%I64u,\"firstEvent\":", file.summary.events);
    if (file.summary.events != 0)
        AppendTime(text, file.summary.firstEvent, TRUE);
    else
        text->append(L"null");
    text->append(L",\"lastEvent\":");
    if (file.summary.events != 0)
        AppendTime(text, file.summary.lastEvent, TRUE);
    else
        text->append(L"null");
    Append(text, L",\"eventsLost\":%u,\"buffersLost\":%u}", file.summary.eventsLost,
           file.summary.buffersLost);
}

void AppendStatusJson(std::wstring* text, const PersistentState& state)
{
    text->append(L"{");
    AppendRegistrationAndSessionJson(text, state);
    text->append(L",\"logDirectory\":");
    AppendJsonString(text, state.logDirectory);
    text->append(L",\"files\":[");
    for (ULONG i = 0; i < state.fileCount; ++i) {
        if (i > 0)
            text->append(L",");
        AppendLogFileJson(text, state.files[i], nullptr);
    }
    text->append(L"]}");
}
