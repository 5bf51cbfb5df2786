#include "live/line_format.h"

#include <string.h>
#include <wchar.h>

#include "common/wide_format.h"

#define ORIGIN_COLUMN_UNITS 26

static const WCHAR* LevelTag(const LiveLine* line)
{
    static const WCHAR* const kTags[] = {
        L"***", L"CRI", L"ERR", L"WRN", L"INF", L"VRB",
    };
    if (line->isStatus != 0)
        return L"***";
    if (line->level < sizeof(kTags) / sizeof(kTags[0]))
        return kTags[line->level];
    return L"???";
}

// Case folding of the find filter: ASCII letters only, as _wcsnicmp does in
// the "C" locale. Done here so that a locale set elsewhere cannot change it.
static inline WCHAR FoldAscii(WCHAR c)
{
    return (c >= L'A' && c <= L'Z') ? (WCHAR)(c + (L'a' - L'A')) : c;
}

static BOOL ContainsFolded(const WCHAR* text, const WCHAR* find, size_t findLength)
{
    WCHAR first = FoldAscii(find[0]);
    for (const WCHAR* start = text; *start != L'\0'; ++start) {
        if (FoldAscii(*start) != first)
            continue;
        size_t k = 1;
        // The text's NUL never equals a find character, so this stops at
        // the end of the text as well.
        while (k < findLength && FoldAscii(start[k]) == FoldAscii(find[k]))
            ++k;
        if (k == findLength)
            return TRUE;
    }
    return FALSE;
}

BOOL IsLineVisible(const LiveLine* line)
{
    if (line == nullptr || line->text == nullptr)
        return FALSE;
    if (line->isStatus != 0)
        return TRUE;
    if (line->level != 0 && line->level > liveState.levelFilter)
        return FALSE;
    if (liveState.showOnlyPid != 0 && line->processId != liveState.showOnlyPid)
        return FALSE;
    DWORD hiddenCount = liveState.hiddenPidCount;
    if (hiddenCount > LIVE_HIDDEN_PID_MAX)
        hiddenCount = LIVE_HIDDEN_PID_MAX;
    for (DWORD i = 0; i < hiddenCount; ++i) {
        if (line->processId == liveState.hiddenPids[i])
            return FALSE;
    }
    size_t findLength = wcsnlen(liveState.findText, LIVE_FIND_TEXT_UNITS);
    if (findLength == 0)
        return TRUE;
    if (line->text[0] == L'\0')
        return FALSE;
    return ContainsFolded(line->text, liveState.findText, findLength);
}

static inline BOOL IsOriginNameChar(WCHAR c)
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
           (c >= L'0' && c <= L'9') || c == L'_' || c == L':' || c == L'<' ||
           c == L'>' || c == L'~';
}

static inline BOOL IsDigit(WCHAR c)
{
    return c >= L'0' && c <= L'9';
}

// Finds "name(digits) : " at the start of `text`. Without it, the origin is
// empty and the body is the whole text.
static void SplitLineOrigin(const WCHAR* text, const WCHAR** origin,
                            size_t* originLength, const WCHAR** body)
{
    *origin = text;
    *originLength = 0;
    *body = text;

    size_t p = 0;
    while (IsOriginNameChar(text[p]))
        ++p;
    if (text[p] != L'(' || p == 0)
        return;
    size_t q = p + 1;
    if (!IsDigit(text[q]))
        return;
    while (IsDigit(text[q]))
        ++q;
    // Each test stops at the text's NUL before looking further.
    if (text[q] != L')' || text[q + 1] != L' ' || text[q + 2] != L':' ||
        text[q + 3] != L' ')
        return;

    size_t start = 0;
    size_t length = q + 1;
    if (length > ORIGIN_COLUMN_UNITS) {
        // Keep the last scope component when the qualified name is too long.
        for (size_t i = p - 1; i > 0; --i) {
            if (text[i - 1] == L':' && text[i] == L':') {
                if (q - i < ORIGIN_COLUMN_UNITS + 1)
                    start = i + 1;
                break;
            }
        }
    }
    *origin = text + start;
    *originLength = length - start;
    *body = text + q + 4;
}

// Writes `value` right-aligned (or left-aligned) in `width` units, as
// "%6u" ("%-6u") does: never cut, longer values widen the field.
static WCHAR* PutUnsigned(WCHAR* out, DWORD value, int width, BOOL leftAlign)
{
    WCHAR digits[10];
    int count = 0;
    do {
        digits[count++] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    int pad = width > count ? width - count : 0;
    if (!leftAlign) {
        for (int i = 0; i < pad; ++i)
            *out++ = L' ';
    }
    while (count > 0)
        *out++ = digits[--count];
    if (leftAlign) {
        for (int i = 0; i < pad; ++i)
            *out++ = L' ';
    }
    return out;
}

static inline WCHAR* PutTwoDigits(WCHAR* out, unsigned value)
{
    out[0] = (WCHAR)(L'0' + value / 10 % 10);
    out[1] = (WCHAR)(L'0' + value % 10);
    return out + 2;
}

struct ClockTime {
    unsigned hour, minute, second, milliseconds;
};

// The offset from UTC in force at a time, cached per quarter hour of UTC:
// zones change their offset only on a quarter hour, so one conversion serves
// every line of that quarter, and lines mostly arrive in time order. Each
// line keeps the offset of its own time, also across a daylight-saving
// change. GUI thread only (the formatter's caller).
#define ZONE_QUARTER_TICKS  (15ull * 60 * 10000000)
#define ZONE_CACHE_SLOTS    64

struct ZoneQuarter {
    ULONG64 quarter;        // UTC ticks / ZONE_QUARTER_TICKS, plus one (0: empty)
    LONG64 biasTicks;       // local minus UTC
};

static ZoneQuarter zoneCache[ZONE_CACHE_SLOTS];

static BOOL BiasOfQuarter(ULONG64 quarter, LONG64* biasTicks)
{
    ULONG64 startTicks = quarter * ZONE_QUARTER_TICKS;
    FILETIME start = {(DWORD)startTicks, (DWORD)(startTicks >> 32)};
    SYSTEMTIME utc, local;
    FILETIME localStart;
    if (!FileTimeToSystemTime(&start, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
        !SystemTimeToFileTime(&local, &localStart))
        return FALSE;
    *biasTicks = (LONG64)(((ULONG64)localStart.dwHighDateTime << 32) | localStart.dwLowDateTime) -
                 (LONG64)startTicks;
    return TRUE;
}

static BOOL LocalBiasAt(ULONG64 utcTicks, LONG64* biasTicks)
{
    ULONG64 quarter = utcTicks / ZONE_QUARTER_TICKS;
    ZoneQuarter* slot = &zoneCache[quarter % ZONE_CACHE_SLOTS];
    if (slot->quarter != quarter + 1) {
        if (!BiasOfQuarter(quarter, &slot->biasTicks))
            return FALSE;
        slot->quarter = quarter + 1;
    }
    *biasTicks = slot->biasTicks;
    return TRUE;
}

BOOL RefreshZoneCache()
{
    BOOL changed = FALSE;
    for (ZoneQuarter& slot : zoneCache) {
        LONG64 bias = 0;
        if (slot.quarter != 0 && (!BiasOfQuarter(slot.quarter - 1, &bias) || bias != slot.biasTicks))
            changed = TRUE;
    }
    if (changed)
        memset(zoneCache, 0, sizeof(zoneCache));
    return changed;
}

void FormatLocalStamp(const FILETIME* utc, BOOL milliseconds, WCHAR* text, size_t units)
{
    SYSTEMTIME universal, local;
    if (!FileTimeToSystemTime(utc, &universal) || !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) {
        FormatTruncating(text, units, L"?");
        return;
    }
    FormatTruncating(text, units, milliseconds ? L"%04u-%02u-%02u %02u:%02u:%02u.%03u" : L"%04u-%02u-%02u %02u:%02u:%02u",
                     local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                     local.wMilliseconds);
}

// The local time of day of a UTC time; all zero when it cannot be converted.
// Only the time of day is shown, so it is taken straight from the local
// ticks.
static ClockTime LocalClockTime(const FILETIME* utc)
{
    ClockTime clock = {};
    ULONG64 utcTicks = ((ULONG64)utc->dwHighDateTime << 32) | utc->dwLowDateTime;
    LONG64 bias = 0;
    // FileTimeToSystemTime refuses ticks of 2^63 and above.
    if (utcTicks >= 0x8000000000000000ull || !LocalBiasAt(utcTicks, &bias))
        return clock;
    if (bias < 0 && utcTicks < (ULONG64)-bias)
        return clock;
    ULONG64 ticks = utcTicks + (ULONG64)bias;
    unsigned msOfDay = (unsigned)(ticks / 10000 % 86400000);
    clock.hour = msOfDay / 3600000;
    clock.minute = msOfDay / 60000 % 60;
    clock.second = msOfDay / 1000 % 60;
    clock.milliseconds = msOfDay % 1000;
    return clock;
}

// The text of "%02d:%02d:%02d.%03d  %s  %6u:%-6u  %-*.*s  " with width and
// precision 26, written by hand: _vsnwprintf alone costs more than a
// line's whole formatting budget. The longest result (ten-digit ids) is 70 units, far
// below LINE_PREFIX_UNITS.
void FormatLinePrefix(const LiveLine* line, WCHAR* prefix, const WCHAR** body)
{
    ClockTime time = LocalClockTime(&line->timestamp);

    const WCHAR* origin = nullptr;
    size_t originLength = 0;
    const WCHAR* text = line->text != nullptr ? line->text : L"";
    SplitLineOrigin(text, &origin, &originLength, body);
    if (originLength > ORIGIN_COLUMN_UNITS)
        originLength = ORIGIN_COLUMN_UNITS;

    WCHAR* out = prefix;
    out = PutTwoDigits(out, time.hour);
    *out++ = L':';
    out = PutTwoDigits(out, time.minute);
    *out++ = L':';
    out = PutTwoDigits(out, time.second);
    *out++ = L'.';
    *out++ = (WCHAR)(L'0' + time.milliseconds / 100);
    out = PutTwoDigits(out, time.milliseconds % 100);
    *out++ = L' ';
    *out++ = L' ';
    const WCHAR* tag = LevelTag(line);
    *out++ = tag[0];
    *out++ = tag[1];
    *out++ = tag[2];
    *out++ = L' ';
    *out++ = L' ';
    out = PutUnsigned(out, line->processId, 6, FALSE);
    *out++ = L':';
    out = PutUnsigned(out, line->threadId, 6, TRUE);
    *out++ = L' ';
    *out++ = L' ';
    memcpy(out, origin, originLength * sizeof(WCHAR));
    out += originLength;
    for (size_t i = originLength; i < ORIGIN_COLUMN_UNITS; ++i)
        *out++ = L' ';
    *out++ = L' ';
    *out++ = L' ';
    *out = L'\0';
}
