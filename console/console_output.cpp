#include "console/console_output.h"

#include <stdarg.h>
#include <stdio.h>

#include "common/system_text.h"

void Append(std::wstring* text, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    int units = _vscwprintf(format, args);
    va_end(args);
    if (units <= 0)
        return;
    size_t at = text->size();
    text->resize(at + units + 1);
    va_start(args, format);
    _vsnwprintf(&(*text)[at], units + 1, format, args);
    va_end(args);
    text->resize(at + units);
}

void AppendSystemError(std::wstring* text, DWORD code)
{
    WCHAR description[SYSTEM_TEXT_UNITS];
    FormatSystemText(code, description, SYSTEM_TEXT_UNITS);
    Append(text, L"0x%08X - %s", code, description);
}

void AppendJsonString(std::wstring* text, const WCHAR* value)
{
    text->push_back(L'"');
    for (const WCHAR* at = value; *at != L'\0'; ++at) {
        if (*at == L'"' || *at == L'\\') {
            text->push_back(L'\\');
            text->push_back(*at);
        } else if (*at < 0x20 || *at > 0x7E) {
            Append(text, L"\\u%04x", (unsigned)*at);
        } else {
            text->push_back(*at);
        }
    }
    text->push_back(L'"');
}

void AppendTime(std::wstring* text, const FILETIME& time, BOOL json)
{
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&time, &utc)) {
        text->append(json ? L"null" : L"no date");
        return;
    }
    Append(
        text,
        json ? L"\"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ\"" : L"%04u-%02u-%02u %02u:%02u:%02u.%03u",
        utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds);
}

BOOL WriteText(HANDLE handle, const std::wstring& text)
{
    std::wstring lines;
    lines.reserve(text.size() + text.size() / 32);
    for (WCHAR unit : text) {
        if (unit == L'\n')
            lines.push_back(L'\r');
        lines.push_back(unit);
    }
    DWORD mode;
    if (GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode)) {
        DWORD written = 0;
        return WriteConsoleW(handle, lines.data(), (DWORD)lines.size(), &written, nullptr);
    }
    if (lines.empty())
        return TRUE;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, lines.data(), (int)lines.size(), nullptr, 0,
                                    nullptr, nullptr);
    if (bytes <= 0)
        return FALSE;
    std::string utf8(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, lines.data(), (int)lines.size(), &utf8[0], bytes, nullptr,
                        nullptr);
    // A pipe may take less than all at once.
    for (size_t at = 0; at < utf8.size();) {
        DWORD written = 0;
        if (!WriteFile(handle, utf8.data() + at, (DWORD)(utf8.size() - at), &written, nullptr))
            return FALSE;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return FALSE;
        }
        at += written;
    }
    return TRUE;
}
