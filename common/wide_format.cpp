#include "common/wide_format.h"

#include <stdio.h>
#include <wchar.h>

// _vsnwprintf writes up to `count` units and returns -1 when the output did
// not fit; it adds no terminator when the output fills the buffer exactly.
// Each wrapper gives it units - 1 and terminates itself, so a return of
// units - 1 or less with no -1 means the whole text fitted.

int FormatBoundedV(WCHAR* out, size_t units, const WCHAR* format, va_list args)
{
    int written = FormatTruncatingV(out, units, format, args);
    // A cut text is no text here.
    if (written < 0 && out != nullptr && units > 0)
        out[0] = L'\0';
    return written;
}

int FormatBounded(WCHAR* out, size_t units, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    int written = FormatBoundedV(out, units, format, args);
    va_end(args);
    return written;
}

int FormatText1024(WCHAR* out, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    int written = FormatBoundedV(out, FORMAT_TEXT_UNITS, format, args);
    va_end(args);
    return written;
}

int FormatTruncatingV(WCHAR* out, size_t units, const WCHAR* format, va_list args)
{
    if (out == nullptr || units == 0)
        return -1;
    out[0] = L'\0';
    if (format == nullptr || units > INT_MAX)
        return -1;
    int written = _vsnwprintf(out, units - 1, format, args);
    out[units - 1] = L'\0';
    if (written < 0 || (size_t)written >= units)
        return -1;
    out[written] = L'\0';
    return written;
}

int FormatTruncating(WCHAR* out, size_t units, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    int written = FormatTruncatingV(out, units, format, args);
    va_end(args);
    return written;
}

FormatCutStatus FormatCutting(WCHAR* out, size_t units, const WCHAR* format, ...)
{
    if (out == nullptr || units == 0 || units > INT_MAX)
        return kFormatBadSize;
    va_list args;
    va_start(args, format);
    int written = FormatTruncatingV(out, units, format, args);
    va_end(args);
    return written < 0 ? kFormatCut : kFormatOk;
}
