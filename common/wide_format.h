// UTF-16 formatting helpers. Every fixed buffer is given in UTF-16 units and
// is never overrun. Format strings follow the Windows CRT: "%s" takes a
// UTF-16 string, "%S" and "%hs" a narrow one, "%I64u" a 64-bit value.
// Any thread.
#pragma once

#include <windows.h>
#include <stdarg.h>

// Bounded formatter: the number of units written, or -1 when the output does
// not fit in `units` (terminator included) or the format fails; `out` then
// holds an empty string.
int FormatBounded(WCHAR* out, size_t units, const WCHAR* format, ...);
int FormatBoundedV(WCHAR* out, size_t units, const WCHAR* format, va_list args);

// The bounded formatter at the 1024 units of the session and registry texts.
#define FORMAT_TEXT_UNITS 1024
int FormatText1024(WCHAR* out, const WCHAR* format, ...);

// Truncating formatter: writes at most units - 1 units and a terminator.
// Returns the count, or a negative value when it had to cut or the format
// failed (the buffer then holds what fitted).
int FormatTruncating(WCHAR* out, size_t units, const WCHAR* format, ...);
int FormatTruncatingV(WCHAR* out, size_t units, const WCHAR* format, va_list args);

// Cutting formatter: cuts to fit and always terminates (when units > 0).
enum FormatCutStatus { kFormatOk, kFormatCut, kFormatBadSize };
FormatCutStatus FormatCutting(WCHAR* out, size_t units, const WCHAR* format, ...);
