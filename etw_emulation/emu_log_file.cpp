// Log files of the emulation: the file sessions write them, OpenTrace and
// ProcessTrace read them by name, and two helpers write one with chosen
// events or play what a restart does to a session's numbered files.
#include "etw_emulation/emu_state.h"

#include <stdio.h>
#include <string.h>

// Reads go this many bytes at a time; a bigger record grows the buffer.
static const size_t kReadChunk = 1024 * 1024;
// EtwEmuWriteLogFile writes once this much is gathered.
static const size_t kWriteChunk = 1024 * 1024;
// A record claiming more than this is damage, not a payload.
static const ULONG kMaxRecordPayload = ETW_EMU_QUEUE_BYTES;

static size_t Padded(size_t bytes)
{
    return (bytes + 7) & ~static_cast<size_t>(7);
}

static BOOL WriteAll(HANDLE file, const void* bytes, size_t count)
{
    DWORD written = 0;
    if (!WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr))
        return FALSE;
    if (written != count) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return TRUE;
}

// Appends the file header (and the session name, padded) to `out`.
static void PutFileHeader(std::vector<BYTE>* out, LPCWSTR sessionName, const GUID* guid,
                          ULONG logFileMode, ULONG maximumFileSize, ULONG clientContext)
{
    EmuLogFileHeader header = {};
    memcpy(header.magic, EMU_LOG_MAGIC, sizeof(header.magic));
    header.version = EMU_LOG_VERSION;
    header.nameBytes = static_cast<ULONG>(wcsnlen(sessionName, EMU_NAME_UNITS - 1) * sizeof(WCHAR));
    header.startTime = CurrentFileTime();
    header.logFileMode = logFileMode;
    header.maximumFileSize = maximumFileSize;
    header.sessionGuid = *guid;
    header.clientContext = clientContext;
    size_t at = out->size();
    out->resize(at + sizeof(header) + Padded(header.nameBytes));
    memcpy(&(*out)[at], &header, sizeof(header));
    memcpy(&(*out)[at + sizeof(header)], sessionName, header.nameBytes);
}

static void PutRecord(std::vector<BYTE>* out, const EmuEvent* event, const void* payload)
{
    EmuLogRecord record = {};
    record.marker = EMU_LOG_RECORD_MARKER;
    record.payloadBytes = event->length;
    record.provider = event->provider;
    record.timestamp = event->timestamp;
    record.processId = event->processId;
    record.threadId = event->threadId;
    record.level = event->level;
    size_t at = out->size();
    out->resize(at + sizeof(record) + Padded(event->length));
    memcpy(&(*out)[at], &record, sizeof(record));
    if (event->length)
        memcpy(&(*out)[at + sizeof(record)], payload, event->length);
}

static HANDLE CreateForWriting(LPCWSTR path)
{
    // Readers may open it while it is written; nobody may write or delete it.
    // Read access: the losses go into its header when the session stops.
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

ULONG CreateEmuLogFile(LPCWSTR path, LPCWSTR sessionName, const GUID* guid, ULONG logFileMode,
                       ULONG maximumFileSize, ULONG clientContext, HANDLE* file)
{
    *file = CreateForWriting(path);
    if (*file == INVALID_HANDLE_VALUE) {
        *file = nullptr;
        return GetLastError();
    }
    std::vector<BYTE> header;
    PutFileHeader(&header, sessionName, guid, logFileMode, maximumFileSize, clientContext);
    if (!WriteAll(*file, header.data(), header.size())) {
        ULONG status = GetLastError();
        CloseHandle(*file);
        *file = nullptr;
        return status;
    }
    return ERROR_SUCCESS;
}

BOOL WriteEmuLogRecord(HANDLE file, std::vector<BYTE>* scratch, const EmuEvent* event,
                       const void* payload)
{
    scratch->clear();
    PutRecord(scratch, event, payload);
    return WriteAll(file, scratch->data(), scratch->size());
}

static BOOL ReadExactly(HANDLE file, void* out, DWORD bytes)
{
    DWORD read = 0;
    return ReadFile(file, out, bytes, &read, nullptr) && read == bytes;
}

ULONG OpenEmuLogFile(EmuConsumer* consumer, LPCWSTR path)
{
    // The session that writes the file shares it for reading; any other
    // writer that does not makes this fail with 32.
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    EmuLogFileHeader* header = &consumer->fileHeader;
    BYTE padding[8];
    BOOL valid = ReadExactly(file, header, sizeof(*header)) &&
                 memcmp(header->magic, EMU_LOG_MAGIC, sizeof(header->magic)) == 0 &&
                 header->version == EMU_LOG_VERSION && header->nameBytes % sizeof(WCHAR) == 0 &&
                 header->nameBytes < EMU_NAME_UNITS * sizeof(WCHAR) &&
                 ReadExactly(file, consumer->fileSessionName, header->nameBytes) &&
                 ReadExactly(file, padding, static_cast<DWORD>(Padded(header->nameBytes) - header->nameBytes));
    if (!valid) {
        CloseHandle(file);
        return ERROR_FILE_CORRUPT;
    }
    consumer->fileSessionName[header->nameBytes / sizeof(WCHAR)] = 0;
    consumer->clockStart = header->startTime;
    consumer->clientContext = header->clientContext;
    CopyName(consumer->logFileName, path);
    consumer->logFile = file;
    return ERROR_SUCCESS;
}

void BuildLogFileHeaderEvent(const EmuConsumer* consumer, HeaderEvent* out)
{
    BuildHeaderEvent(consumer->fileSessionName, consumer->logFileName,
                     consumer->fileHeader.logFileMode, consumer->fileHeader.maximumFileSize,
                     consumer->fileHeader.startTime, out);
    out->payload.header.EventsLost = consumer->fileHeader.eventsLost;
    out->payload.header.BuffersLost = consumer->fileHeader.buffersLost;
}

static ULONG Clamp32(ULONG64 count)
{
    return count > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<ULONG>(count);
}

ULONG WriteEmuLogLosses(HANDLE file, ULONG64 eventsLost, ULONG64 buffersLost)
{
    EmuLogFileHeader header;
    ULONG status = ERROR_SUCCESS;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0 || !ReadExactly(file, &header, sizeof(header)) ||
        memcmp(header.magic, EMU_LOG_MAGIC, sizeof(header.magic)) != 0) {
        status = ERROR_FILE_CORRUPT;
    } else {
        header.eventsLost = Clamp32(eventsLost);
        header.buffersLost = Clamp32(buffersLost);
        if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0 || !WriteAll(file, &header, sizeof(header)))
            status = GetLastError();
    }
    SetFilePointer(file, 0, nullptr, FILE_END);
    return status;
}

ULONG EtwEmuSetLogFileLosses(LPCWSTR path, ULONG eventsLost, ULONG buffersLost)
{
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    ULONG status = WriteEmuLogLosses(file, eventsLost, buffersLost);
    CloseHandle(file);
    return status;
}

static void Deliver(const EmuConsumer* consumer, const EmuEvent* event, const BYTE* base)
{
    EVENT_TRACE record;
    FillEventTrace(&record, event, base, consumer);
    if (consumer->callback)
        consumer->callback(&record);
}

ULONG ReadEmuLogFile(EmuConsumer* consumer)
{
    HeaderEvent header;
    BuildLogFileHeaderEvent(consumer, &header);
    Deliver(consumer, &header.event, header.payload.bytes);

    // Unparsed bytes are [start, end) of the buffer; records start 8-aligned
    // in the file and the buffer, so payloads may be read as WCHARs.
    std::vector<BYTE> buffer(kReadChunk);
    size_t start = 0, end = 0;
    for (;;) {
        if (InterlockedCompareExchange(&consumer->cancelled, 0, 0))
            return ERROR_CANCELLED;
        size_t available = end - start;
        size_t needed = sizeof(EmuLogRecord);
        if (available >= sizeof(EmuLogRecord)) {
            EmuLogRecord record;
            memcpy(&record, &buffer[start], sizeof(record));
            if (record.marker != EMU_LOG_RECORD_MARKER || record.payloadBytes > kMaxRecordPayload)
                return ERROR_FILE_CORRUPT;
            needed = sizeof(record) + Padded(record.payloadBytes);
            if (available >= needed) {
                EmuEvent event = {record.provider, record.timestamp, record.processId,
                                  record.threadId, static_cast<ULONG>(start + sizeof(record)),
                                  record.payloadBytes, record.level};
                Deliver(consumer, &event, buffer.data());
                start += needed;
                continue;
            }
        }
        // Keep the partial record at the front and read more behind it.
        memmove(buffer.data(), buffer.data() + start, available);
        start = 0;
        end = available;
        if (buffer.size() < needed)
            buffer.resize(needed);
        DWORD read = 0;
        if (!ReadFile(consumer->logFile, buffer.data() + end,
                      static_cast<DWORD>(buffer.size() - end), &read, nullptr))
            return GetLastError();
        // The end of the file; a last record still being written ends it too.
        if (read == 0)
            return ERROR_SUCCESS;
        end += read;
    }
}

ULONG EtwEmuWriteLogFile(LPCWSTR path, LPCWSTR sessionName, const EtwEmuFileEvent* events,
                         size_t count)
{
    if (!path || !sessionName || (count && !events))
        return ERROR_INVALID_PARAMETER;
    for (size_t i = 0; i < count; i++) {
        if (events[i].payloadBytes && !events[i].payload)
            return ERROR_INVALID_PARAMETER;
    }
    HANDLE file = CreateForWriting(path);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    static const GUID kNoGuid = {};
    std::vector<BYTE> bytes;
    // The clock of the program's own sessions: the performance counter.
    PutFileHeader(&bytes, sessionName, &kNoGuid, EVENT_TRACE_FILE_MODE_SEQUENTIAL, 0, 1);
    BOOL ok = TRUE;
    for (size_t i = 0; ok && i < count; i++) {
        const EtwEmuFileEvent& source = events[i];
        EmuEvent event = {source.provider, source.timestamp, source.processId, source.threadId,
                          0, source.payloadBytes, source.level};
        PutRecord(&bytes, &event, source.payload);
        if (bytes.size() >= kWriteChunk) {
            ok = WriteAll(file, bytes.data(), bytes.size());
            bytes.clear();
        }
    }
    ok = ok && WriteAll(file, bytes.data(), bytes.size());
    ULONG status = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    return status;
}

// "<logFile>.%03u" into EMU_NAME_UNITS units; FALSE when it does not fit.
static BOOL NumberedPath(LPCWSTR logFile, ULONG number, WCHAR* out)
{
    int written = _snwprintf(out, EMU_NAME_UNITS - 1, L"%s.%03u", logFile, number);
    out[EMU_NAME_UNITS - 1] = 0;
    return written > 0 && written < EMU_NAME_UNITS - 1;
}

// Moves `from` onto `to`; a missing `from` is nothing to move.
static ULONG MoveLogFile(LPCWSTR from, LPCWSTR to)
{
    if (MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING))
        return ERROR_SUCCESS;
    ULONG status = GetLastError();
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

static ULONG RotateLogFiles(LPCWSTR logFile, ULONG fileMax)
{
    WCHAR from[EMU_NAME_UNITS], to[EMU_NAME_UNITS];
    if (!NumberedPath(logFile, fileMax, to))
        return ERROR_BAD_PATHNAME;
    if (!DeleteFileW(to) && GetLastError() != ERROR_FILE_NOT_FOUND)
        return GetLastError();
    for (ULONG number = fileMax; number >= 1; number--) {
        if (!NumberedPath(logFile, number, to))
            return ERROR_BAD_PATHNAME;
        if (number == 1)
            CopyName(from, logFile);
        else if (!NumberedPath(logFile, number - 1, from))
            return ERROR_BAD_PATHNAME;
        ULONG status = MoveLogFile(from, to);
        if (status != ERROR_SUCCESS)
            return status;
    }
    return ERROR_SUCCESS;
}

ULONG EtwEmuPlayRestart(LPCWSTR sessionName, LPCWSTR logFile, ULONG fileMax)
{
    if (!sessionName || !logFile || !logFile[0] || fileMax < 1 || fileMax > 16)
        return ERROR_INVALID_PARAMETER;
    EmuAcquire();
    EmuSession* running = FindSessionByName(sessionName);
    // What the autologger starts again at boot: the same settings and providers.
    EmuSession saved{};
    BOOL wasRunning = running != nullptr;
    if (wasRunning) {
        memcpy(saved.name, running->name, sizeof(saved.name));
        memcpy(saved.logFile, running->logFile, sizeof(saved.logFile));
        saved.guid = running->guid;
        saved.logFileMode = running->logFileMode;
        saved.maximumFileSize = running->maximumFileSize;
        saved.clientContext = running->clientContext;
        saved.providers = running->providers;
        StopSession(running);
    }
    ULONG status = RotateLogFiles(logFile, fileMax);
    if (status == ERROR_SUCCESS && wasRunning) {
        EmuSession* session = CreateSession(saved.name, saved.logFile, &saved.guid,
                                            saved.logFileMode, saved.maximumFileSize,
                                            saved.clientContext, &status);
        if (session)
            session->providers = saved.providers;
    }
    EmuRelease();
    return status;
}
