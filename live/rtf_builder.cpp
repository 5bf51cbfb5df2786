#include "live/rtf_builder.h"

#include <emmintrin.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "live/line_format.h"
#include "live/live_state.h"
#include "theme/theme_palette.h"

#define RTF_FACE_BYTES 32
// The longest output of one UTF-16 unit: "\u-32768?".
#define RTF_MAX_UNIT_BYTES 9
#define RTF_ESCAPE_CHUNK_UNITS 256

// Red, green, blue of \cf1 .. \cf5; [0] light, [1] dark.
static const BYTE kColorTable[2][RTF_COLOR_COUNT][3] = {
    {{0, 0, 0}, {192, 0, 0}, {176, 80, 0}, {128, 128, 128}, {0, 0, 192}},
    {{232, 232, 232}, {255, 96, 96}, {255, 170, 60}, {150, 150, 150}, {110, 150, 255}},
};

// Paragraph openers per colour index; the same bytes as "\cf%d " and
// "\cf%d\b ", without a format call per line.
static const char* const kColorOpen[RTF_COLOR_COUNT + 1] = {
    "", "\\cf1 ", "\\cf2 ", "\\cf3 ", "\\cf4 ", "\\cf5 ",
};
static const char kBoldErrorOpen[] = "\\cf2\\b ";

static int ColorIndex(const LiveLine* line)
{
    if (line->isStatus != 0)
        return RTF_COLOR_STATUS;
    switch (line->level) {
    case 1:
    case 2:
        return RTF_COLOR_ERROR;
    case 3:
        return RTF_COLOR_WARNING;
    case 5:
        return RTF_COLOR_VERBOSE;
    default:
        return RTF_COLOR_NORMAL;
    }
}

BOOL RtfBufferReserve(RtfBuffer* buffer, UINT32 n)
{
    if (buffer->failed)
        return FALSE;
    // The need, terminator included, must fit the 32-bit length.
    if (n > UINT32_MAX - 1 - buffer->length) {
        buffer->failed = TRUE;
        return FALSE;
    }
    UINT32 need = buffer->length + n + 1;
    if (need <= buffer->capacity && buffer->data != nullptr)
        return TRUE;

    UINT64 capacity = buffer->capacity != 0 ? (UINT64)buffer->capacity * 2 : RTF_FIRST_CAPACITY;
    while (capacity < need)
        capacity *= 2;
    if (capacity > UINT32_MAX)
        capacity = UINT32_MAX;
    char* data = (char*)realloc(buffer->data, (size_t)capacity);
    if (data == nullptr) {
        // The old block stays with the buffer; the caller frees it.
        buffer->failed = TRUE;
        return FALSE;
    }
    buffer->data = data;
    buffer->capacity = (UINT32)capacity;
    return TRUE;
}

BOOL RtfReserveLines(RtfBuffer* buffer, ULONG64 lines)
{
    const ULONG64 kMostBytes = 1u << 30;
    ULONG64 bytes = lines < kMostBytes / RTF_LINE_BYTES ? lines * RTF_LINE_BYTES : kMostBytes;
    return RtfBufferReserve(buffer, (UINT32)bytes);
}

void RtfBufferFree(RtfBuffer* buffer)
{
    free(buffer->data);
    buffer->data = nullptr;
    buffer->length = 0;
    buffer->capacity = 0;
    buffer->failed = FALSE;
}

static void AppendBytes(RtfBuffer* buffer, const char* bytes, size_t count)
{
    if (count > UINT32_MAX) {
        buffer->failed = TRUE;
        return;
    }
    if (!RtfBufferReserve(buffer, (UINT32)count))
        return;
    memcpy(buffer->data + buffer->length, bytes, count);
    buffer->length += (UINT32)count;
    buffer->data[buffer->length] = '\0';
}

void RtfAppend(RtfBuffer* buffer, const char* text)
{
    AppendBytes(buffer, text, strlen(text));
}

void RtfAppendFormat(RtfBuffer* buffer, const char* format, ...)
{
    char scratch[RTF_FORMAT_BYTES];
    va_list args;
    va_start(args, format);
    // The CRT's _vsnprintf returns -1 when the output does not fit.
    int written = _vsnprintf(scratch, RTF_FORMAT_BYTES - 1, format, args);
    va_end(args);
    if (written <= 0 || written >= RTF_FORMAT_BYTES)
        return;
    scratch[written] = '\0';
    AppendBytes(buffer, scratch, (size_t)written);
}

// Writes "\u<n>?" for one unit taken as a signed 16-bit number; returns the
// bytes written.
static UINT32 WriteUnicodeEscape(char* out, WCHAR unit)
{
    int value = (SHORT)unit;
    UINT32 k = 0;
    out[k++] = '\\';
    out[k++] = 'u';
    if (value < 0) {
        out[k++] = '-';
        value = -value;
    }
    char digits[6];
    int count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        out[k++] = digits[--count];
    out[k++] = '?';
    return k;
}

// What RtfAppendEscaped does with each ASCII unit; a table keeps the common
// case (a plain character) to one lookup.
enum AsciiAction : BYTE { kCopy, kBackslash, kTab, kBlank, kDrop };

static const struct AsciiActions {
    BYTE action[128];
    constexpr AsciiActions() : action()
    {
        for (int c = 0; c < 32; ++c)
            action[c] = kDrop;
        action['\t'] = kTab;
        // One stored line stays one line of the view.
        action['\r'] = kBlank;
        action['\n'] = kBlank;
        action['\\'] = kBackslash;
        action['{'] = kBackslash;
        action['}'] = kBackslash;
    }
} kAscii;

// Writes one unit as RTF at `out`; returns the end.
static inline char* EscapeUnit(char* out, WCHAR c)
{
    if (c >= 128)
        return out + WriteUnicodeEscape(out, c);
    BYTE action = kAscii.action[c];
    if (action == kCopy) {
        *out++ = (char)c;
    } else if (action == kBackslash) {
        *out++ = '\\';
        *out++ = (char)c;
    } else if (action == kTab) {
        memcpy(out, "\\tab ", 5);
        out += 5;
    } else if (action == kBlank) {
        *out++ = ' ';
    }
    return out;
}

// Writes `count` units of `text` as RTF at `out`, which has room for
// RTF_MAX_UNIT_BYTES per unit; returns the end. Eight units at a time when
// all eight are plain (32 to 127 but \ { }), narrowed to bytes at once: a
// rebuild runs under storeLock, and most of a line is plain text.
static char* EscapeUnits(char* out, const WCHAR* text, size_t count)
{
    const WCHAR* end = text + count;
    const __m128i belowPlain = _mm_set1_epi16(0x1F), abovePlain = _mm_set1_epi16(0x80);
    const __m128i backslash = _mm_set1_epi16('\\'), openBrace = _mm_set1_epi16('{');
    const __m128i closeBrace = _mm_set1_epi16('}');
    while (text < end) {
        if (end - text >= 8) {
            __m128i units = _mm_loadu_si128((const __m128i*)text);
            // Units from 0x8000 on are negative here, and never plain.
            __m128i plain = _mm_and_si128(_mm_cmpgt_epi16(units, belowPlain), _mm_cmplt_epi16(units, abovePlain));
            __m128i special = _mm_or_si128(_mm_cmpeq_epi16(units, backslash),
                                           _mm_or_si128(_mm_cmpeq_epi16(units, openBrace),
                                                        _mm_cmpeq_epi16(units, closeBrace)));
            if (_mm_movemask_epi8(_mm_andnot_si128(special, plain)) == 0xFFFF) {
                _mm_storel_epi64((__m128i*)out, _mm_packus_epi16(units, units));
                out += 8;
                text += 8;
                continue;
            }
        }
        out = EscapeUnit(out, *text++);
    }
    return out;
}

void RtfAppendEscaped(RtfBuffer* buffer, const WCHAR* text)
{
    // Chunk by chunk: one reservation of the worst case per chunk, and no
    // separate pass to measure the text.
    while (*text != L'\0') {
        if (!RtfBufferReserve(buffer, RTF_ESCAPE_CHUNK_UNITS * RTF_MAX_UNIT_BYTES))
            return;
        size_t units = wcsnlen(text, RTF_ESCAPE_CHUNK_UNITS);
        char* out = EscapeUnits(buffer->data + buffer->length, text, units);
        text += units;
        buffer->length = (UINT32)(out - buffer->data);
        buffer->data[buffer->length] = '\0';
    }
}

void RtfAppendHeader(RtfBuffer* buffer)
{
    char face[RTF_FACE_BYTES] = {};
    int faceUnits = (int)wcsnlen(liveState.fontFace, LIVE_FONT_FACE_UNITS);
    WideCharToMultiByte(CP_ACP, 0, liveState.fontFace, faceUnits, face, RTF_FACE_BYTES - 1,
                        nullptr, nullptr);
    face[RTF_FACE_BYTES - 1] = '\0';

    // "\b0" states the bold state once: Wine's rich edit otherwise applies
    // the first "\b" of a stream to earlier text whose bold was never set.
    const BYTE(*c)[3] = kColorTable[IsDarkTheme() ? 1 : 0];
    RtfAppendFormat(buffer,
                    "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fmodern\\fcharset0 %s;}}"
                    "{\\colortbl;\\red%d\\green%d\\blue%d;\\red%d\\green%d\\blue%d;"
                    "\\red%d\\green%d\\blue%d;\\red%d\\green%d\\blue%d;"
                    "\\red%d\\green%d\\blue%d;}\\f0\\fs18\\b0 ",
                    face, c[0][0], c[0][1], c[0][2], c[1][0], c[1][1], c[1][2], c[2][0],
                    c[2][1], c[2][2], c[3][0], c[3][1], c[3][2], c[4][0], c[4][1], c[4][2]);
}

DWORD RtfAppendLines(RtfBuffer* buffer, ULONG64 from, ULONG64 to)
{
    if (liveState.slots == nullptr)
        return 0;
    DWORD count = 0;
    WCHAR prefix[LINE_PREFIX_UNITS];
    for (ULONG64 sequence = from; sequence < to; ++sequence) {
        const LiveLine* line = HeldLine(sequence);
        if (!IsLineVisible(line))
            continue;
        BOOL bold = line->isStatus == 0 && line->level == 1;
        const WCHAR* body = line->text;
        FormatLinePrefix(line, prefix, &body);
        // The opener and the prefix in one reservation: most lines cost two
        // (the body's, and the closer's) instead of one per piece.
        size_t prefixUnits = wcsnlen(prefix, LINE_PREFIX_UNITS);
        const char* open = bold ? kBoldErrorOpen : kColorOpen[ColorIndex(line)];
        size_t openBytes = strlen(open);
        if (!RtfBufferReserve(buffer, (UINT32)(openBytes + prefixUnits * RTF_MAX_UNIT_BYTES)))
            break;
        char* out = buffer->data + buffer->length;
        memcpy(out, open, openBytes);
        out = EscapeUnits(out + openBytes, prefix, prefixUnits);
        buffer->length = (UINT32)(out - buffer->data);
        buffer->data[buffer->length] = '\0';
        RtfAppendEscaped(buffer, body);
        if (bold)
            AppendBytes(buffer, "\\b0\\par\n", 8);
        else
            AppendBytes(buffer, "\\par\n", 5);
        if (buffer->failed)
            break;
        ++count;
    }
    return count;
}

DWORD CALLBACK RtfStreamCallback(DWORD_PTR cookie, LPBYTE destination, LONG requested,
                                 LONG* transferred)
{
    RtfStreamCookie* stream = (RtfStreamCookie*)cookie;
    UINT32 remaining = stream->position < stream->size ? stream->size - stream->position : 0;
    UINT32 count = remaining;
    if (requested >= 0 && (UINT32)requested <= remaining)
        count = (UINT32)requested;
    if (count > 0) {
        memcpy(destination, stream->data + stream->position, count);
        stream->position += count;
    }
    *transferred = (LONG)count;
    return 0;
}
