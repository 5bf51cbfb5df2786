// The lines of the export: the event callback, the date and time of a time
// stamp, and the gathering of units into 64 KB writes.
#include "export/log_export.h"

#include <string.h>
#include <wchar.h>

LogExportState logExport;

#define EXPORT_STAMP_UNITS 32   // "yyyyy-mm-dd;hh:mm:ss;" and more

// Writes `value` with at least `digits` digits (a year may have five).
static WCHAR* PutDecimal(WCHAR* out, unsigned value, int digits)
{
    WCHAR reversed[10];
    int count = 0;
    do {
        reversed[count++] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value != 0 || count < digits);
    while (count > 0)
        *out++ = reversed[--count];
    return out;
}

// "yyyy-mm-dd;hh:mm:ss;" of the time stamp in UTC, the fraction cut off; the
// placeholders when it is no calendar date. Returns the units written.
static size_t FormatStamp(const LARGE_INTEGER& timeStamp, WCHAR* out)
{
    FILETIME fileTime = {timeStamp.LowPart, (DWORD)timeStamp.HighPart};
    SYSTEMTIME time;
    WCHAR* at = out;
    if (!FileTimeToSystemTime(&fileTime, &time)) {
        // Written rather than dropped: the message may be the one that matters.
        wcscpy(out, EXPORT_NO_DATE L";" EXPORT_NO_TIME L";");
        return wcslen(out);
    }
    at = PutDecimal(at, time.wYear, 4);
    *at++ = L'-';
    at = PutDecimal(at, time.wMonth, 2);
    *at++ = L'-';
    at = PutDecimal(at, time.wDay, 2);
    *at++ = L';';
    at = PutDecimal(at, time.wHour, 2);
    *at++ = L':';
    at = PutDecimal(at, time.wMinute, 2);
    *at++ = L':';
    at = PutDecimal(at, time.wSecond, 2);
    *at++ = L';';
    return at - out;
}

void WINAPI LogFileEventCallback(PEVENT_TRACE event)
{
    if (event == nullptr || event->MofLength == 0 || event->MofData == nullptr ||
        event->Header.Class.Level == 0)
        return;
    WCHAR stamp[EXPORT_STAMP_UNITS];
    size_t stampUnits = FormatStamp(event->Header.TimeStamp, stamp);
    // Whole units only, up to the first NUL: an odd last byte is dropped.
    const WCHAR* text = (const WCHAR*)event->MofData;
    size_t textUnits = wcsnlen(text, event->MofLength / sizeof(WCHAR));
    PutExportUnits(stamp, stampUnits);
    PutExportUnits(text, textUnits);
    PutExportUnits(L"\r\n", 2);
}

BOOL FlushExport()
{
    if (logExport.status != ERROR_SUCCESS)
        return FALSE;
    DWORD bytes = logExport.pendingUnits * sizeof(WCHAR);
    logExport.pendingUnits = 0;
    if (bytes == 0)
        return TRUE;
    DWORD written = 0;
    const int writeLine = __LINE__ + 1;
    BOOL ok = WriteFile(logExport.output, logExport.pending, bytes, &written, nullptr);
    if (!ok || written != bytes) {
        // A disk file is written in full or not at all; short means full.
        logExport.status = ok ? ERROR_DISK_FULL : GetLastError();
        logExport.failedFile = __FILE__;
        logExport.failedLine = writeLine;
        return FALSE;
    }
    return TRUE;
}

void PutExportUnits(const WCHAR* units, size_t count)
{
    while (count > 0 && logExport.status == ERROR_SUCCESS) {
        if (logExport.pendingUnits == EXPORT_CHUNK_UNITS && !FlushExport())
            return;
        size_t room = EXPORT_CHUNK_UNITS - logExport.pendingUnits;
        size_t n = count < room ? count : room;
        memcpy(logExport.pending + logExport.pendingUnits, units, n * sizeof(WCHAR));
        logExport.pendingUnits += (DWORD)n;
        units += n;
        count -= n;
    }
}
