// Text of the console program: gathered in a wide string, then written to a
// standard handle in one go. A console receives UTF-16 (WriteConsoleW); a
// redirected handle (file or pipe) receives UTF-8 without byte-order mark.
// Lines are gathered with "\n" and written with CR LF. JSON is written in
// ASCII only (every other character as \uXXXX), so that it reads the same in
// any code page. Any thread.
#pragma once

#include <windows.h>

#include <string>

// printf-style, with the Windows CRT's semantics ("%s" a wide string,
// "%I64u" a 64-bit value).
void Append(std::wstring* text, const WCHAR* format, ...);
// "0x%08X - " and the system's message for `code`, without its line end
// ("no description available" when the system has none).
void AppendSystemError(std::wstring* text, DWORD code);
// `value` as a JSON string, quotes included.
void AppendJsonString(std::wstring* text, const WCHAR* value);
// A UTC time stamp as "yyyy-mm-ddThh:mm:ss.mmmZ" in JSON, null when it is no
// calendar date; in text "yyyy-mm-dd hh:mm:ss.mmm" or "no date".
void AppendTime(std::wstring* text, const FILETIME& time, BOOL json);

// Writes `text` to `handle` as above. FALSE + last error when it cannot.
BOOL WriteText(HANDLE handle, const std::wstring& text);
