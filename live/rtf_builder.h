// RTF documents for the live view: a growable byte buffer, the header with
// the font and colour tables of the current theme, one coloured paragraph per
// visible stored line, and the EDITSTREAM callback that hands the bytes to a
// rich-edit control. A complete document is RtfAppendHeader, RtfAppendLines,
// then RtfAppend(buffer, "}").
//
// GUI thread only (the header reads fontFace and the theme, the lines read the
// filters). Appends never fail loudly: the first allocation failure sets
// `failed`, every later append is refused, and the caller must then not use
// the document.
#pragma once

#include <windows.h>

// Colour indices of the header's colour table (\cf1 .. \cf5).
#define RTF_COLOR_NORMAL    1   // level 0, 4 and above 5
#define RTF_COLOR_ERROR     2   // levels 1 (bold) and 2
#define RTF_COLOR_WARNING   3   // level 3
#define RTF_COLOR_VERBOSE   4   // level 5
#define RTF_COLOR_STATUS    5   // status lines, whatever their level
#define RTF_COLOR_COUNT     5

#define RTF_FIRST_CAPACITY  65536u
#define RTF_FORMAT_BYTES    1024
#define RTF_LINE_BYTES      256u    // a generous paragraph, for RtfReserveLines

// One document under construction; start with all fields zero. The caller
// owns `data` and frees it with RtfBufferFree, also after a failure.
struct RtfBuffer {
    char* data;         // NUL-terminated once anything was appended
    UINT32 length;      // bytes used, terminator excluded
    UINT32 capacity;    // bytes allocated
    BOOL failed;        // an allocation failed; every later append is refused
};

// Read cursor of one stream-in.
struct RtfStreamCookie {
    const char* data;
    UINT32 size;
    UINT32 position;
};

// TRUE if n more bytes plus a terminator fit, growing the buffer by doubling
// (65536 bytes first). On failure sets `failed` and keeps the old data.
BOOL RtfBufferReserve(RtfBuffer* buffer, UINT32 n);
void RtfBufferFree(RtfBuffer* buffer);

// Reserves room for about `lines` paragraphs at once: a large document then
// grows in one step instead of by repeated doubling, which costs more than
// building it. FALSE as RtfBufferReserve.
BOOL RtfReserveLines(RtfBuffer* buffer, ULONG64 lines);

void RtfAppend(RtfBuffer* buffer, const char* text);
// printf-style (narrow) into a 1024-byte scratch; an output that fails or
// would be cut appends nothing.
void RtfAppendFormat(RtfBuffer* buffer, const char* format, ...);
// UTF-16 text as RTF: \ { } escaped, TAB as \tab, CR and LF as a blank,
// other controls dropped, above 127 as \uN? (N signed 16-bit).
void RtfAppendEscaped(RtfBuffer* buffer, const WCHAR* text);
// Font table with liveState.fontFace and the colour table of IsDarkTheme().
void RtfAppendHeader(RtfBuffer* buffer);
// One paragraph per visible line of sequence numbers [from, to); returns how
// many. Caller holds storeLock; the range must be held lines.
DWORD RtfAppendLines(RtfBuffer* buffer, ULONG64 from, ULONG64 to);

// EDITSTREAM callback; `cookie` is an RtfStreamCookie*.
DWORD CALLBACK RtfStreamCallback(DWORD_PTR cookie, LPBYTE destination, LONG requested,
                                 LONG* transferred);
