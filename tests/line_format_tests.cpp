#include <gtest/gtest.h>
#include <windows.h>
#include <locale.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "common/wide_format.h"
#include "live/line_format.h"

namespace {

const WCHAR kPrefixFormat[] = L"%02d:%02d:%02d.%03d  %s  %6u:%-6u  %-*.*s  ";

// A UTC time whose local time, as FileTimeToLocalFileTime sees it, is the
// given clock time on 2024-03-14.
FILETIME UtcForLocalClock(WORD hour, WORD minute, WORD second, WORD ms)
{
    SYSTEMTIME local = {2024, 3, 4, 14, hour, minute, second, ms};
    FILETIME localTime = {}, utc = {};
    EXPECT_TRUE(SystemTimeToFileTime(&local, &localTime));
    EXPECT_TRUE(LocalFileTimeToFileTime(&localTime, &utc));
    return utc;
}

LiveLine MakeLine(BYTE level, DWORD isStatus, DWORD pid, DWORD tid, const WCHAR* text)
{
    LiveLine line = {};
    line.timestamp = UtcForLocalClock(9, 5, 3, 7);
    line.processId = pid;
    line.threadId = tid;
    line.level = level;
    line.isStatus = isStatus;
    line.text = const_cast<WCHAR*>(text);
    return line;
}

// Formats with a sentinel-filled buffer and a guard past its end.
std::wstring Prefix(const LiveLine& line, const WCHAR** body)
{
    WCHAR buffer[LINE_PREFIX_UNITS + 1];
    wmemset(buffer, 0xCCCC, LINE_PREFIX_UNITS + 1);
    *body = nullptr;
    FormatLinePrefix(&line, buffer, body);
    EXPECT_EQ(0xCCCC, buffer[LINE_PREFIX_UNITS]) << "guard unit overwritten";
    return std::wstring(buffer, wcsnlen(buffer, LINE_PREFIX_UNITS));
}

TEST(LineFormatTest, ColumnsOfTheDisplayLine)
{
    const WCHAR text[] = L"Reader::Open(42) : card inserted";
    LiveLine line = MakeLine(4, 0, 4, 4, text);
    const WCHAR* body;
    std::wstring prefix = Prefix(line, &body);

    ASSERT_EQ(62u, prefix.size()) << prefix;
    EXPECT_EQ(L"09:05:03.007", prefix.substr(0, 12));
    EXPECT_EQ(L"  ", prefix.substr(12, 2));
    EXPECT_EQ(L"INF", prefix.substr(14, 3));
    EXPECT_EQ(L"  ", prefix.substr(17, 2));
    EXPECT_EQ(L"     4", prefix.substr(19, 6));
    EXPECT_EQ(L":", prefix.substr(25, 1));
    EXPECT_EQ(L"4     ", prefix.substr(26, 6));
    EXPECT_EQ(L"  ", prefix.substr(32, 2));
    EXPECT_EQ(L"Reader::Open(42)          ", prefix.substr(34, 26));
    EXPECT_EQ(L"  ", prefix.substr(60, 2));
    EXPECT_EQ(text + 19, body);
    EXPECT_STREQ(L"card inserted", body);
}

TEST(LineFormatTest, LevelTags)
{
    struct Case { BYTE level; DWORD isStatus; const WCHAR* tag; };
    static const Case kCases[] = {
        {0, 0, L"***"}, {1, 0, L"CRI"}, {2, 0, L"ERR"}, {3, 0, L"WRN"},
        {4, 0, L"INF"}, {5, 0, L"VRB"}, {6, 0, L"???"}, {7, 0, L"???"},
        {255, 0, L"???"},
        // Status lines show "***" whatever their level.
        {0, 1, L"***"}, {2, 1, L"***"}, {9, 0x80000000, L"***"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "level " << (int)c.level << ", isStatus "
                                        << c.isStatus);
        LiveLine line = MakeLine(c.level, c.isStatus, 1, 2, L"x");
        const WCHAR* body;
        EXPECT_EQ(c.tag, Prefix(line, &body).substr(14, 3));
    }
}

TEST(LineFormatTest, ProcessAndThreadIdColumns)
{
    struct Case { DWORD pid, tid; const WCHAR* columns; };
    static const Case kCases[] = {
        {0, 0, L"     0:0       "},
        {4, 4, L"     4:4       "},
        {123456, 654321, L"123456:654321  "},
        // Longer ids widen their field and push the rest to the right.
        {1234567, 7654321, L"1234567:7654321  "},
        {4294967295u, 4294967295u, L"4294967295:4294967295  "},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "pid " << c.pid << ", tid " << c.tid);
        LiveLine line = MakeLine(5, 0, c.pid, c.tid, L"plain");
        const WCHAR* body;
        std::wstring prefix = Prefix(line, &body);
        size_t width = wcslen(c.columns);
        EXPECT_EQ(c.columns, prefix.substr(19, width));
        EXPECT_EQ(19 + width + 26 + 2, prefix.size());
    }
}

TEST(LineFormatTest, OriginAndBodySplit)
{
    struct Case { const WCHAR* text; const WCHAR* origin; size_t bodyOffset; };
    static const Case kCases[] = {
        {L"Reader::Open(42) : card inserted", L"Reader::Open(42)", 19},
        {L"Long::Namespace::Name::Here::Method(1234) : x", L"Method(1234)", 44},
        {L"AnExtremelyLongFunctionName(7) : y", L"AnExtremelyLongFunctionNam", 33},
        {L"Open(42): no blank before the colon", L"", 0},
        {L"(42) : starts with a parenthesis", L"", 0},
        {L"plain message without origin", L"", 0},
        // The allowed name characters, and an empty body.
        {L"std::vector<int>::~vector(3) : gone", L"~vector(3)", 31},
        {L"Card_Reader2::Poll(7) : ", L"Card_Reader2::Poll(7)", 24},
        // 26 characters fit whole; 27 without a colon pair are cut.
        {L"ABCDEFGHIJKLMNOPQRSTUV(12) : a", L"ABCDEFGHIJKLMNOPQRSTUV(12)", 29},
        {L"ABCDEFGHIJKLMNOPQRSTUVW(12) : b", L"ABCDEFGHIJKLMNOPQRSTUVW(12", 30},
        // A last component of 26 characters is taken; one of 27 is not, and
        // the whole origin is cut instead.
        {L"Ns::ABCDEFGHIJKLMNOPQRSTUV(12) : e", L"ABCDEFGHIJKLMNOPQRSTUV(12)", 33},
        {L"Ns::ABCDEFGHIJKLMNOPQRSTUVW(12) : f", L"Ns::ABCDEFGHIJKLMNOPQRSTUV", 34},
        {L"Ns::AnotherExtremelyLongName(123) : c", L"Ns::AnotherExtremelyLongNa", 36},
        // The last colon pair of a run of three.
        {L"SomeLongScopeName:::Method(1) : d", L"Method(1)", 32},
        // Not the shape.
        {L"Open() : no digits", L"", 0},
        {L"Open(4a) : letter in the line", L"", 0},
        {L"Open(42) :no blank after", L"", 0},
        {L"Open(42)  : two blanks", L"", 0},
        {L"Open(42)x: no blank before", L"", 0},
        {L"Open(42) ; semicolon", L"", 0},
        {L"Re ader(1) : blank in the name", L"", 0},
        {L"Open(42) :", L"", 0},
        {L"Open(42", L"", 0},
        {L"Open", L"", 0},
        {L"", L"", 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
        LiveLine line = MakeLine(4, 0, 1, 2, c.text);
        const WCHAR* body;
        std::wstring prefix = Prefix(line, &body);
        std::wstring column = c.origin;
        column.resize(26, L' ');
        EXPECT_EQ(column, prefix.substr(34, 26));
        EXPECT_EQ(L"  ", prefix.substr(60));
        EXPECT_EQ(c.text + c.bodyOffset, body);
    }
}

// The hand-written prefix must be exactly what the printf format gives, for
// any time, tag, ids and origin.
TEST(LineFormatTest, PrefixEqualsThePrintfFormat)
{
    struct Origin { const WCHAR* text; const WCHAR* origin; };
    static const Origin kOrigins[] = {
        {L"Reader::Open(42) : card inserted", L"Reader::Open(42)"},
        {L"Long::Namespace::Name::Here::Method(1234) : x", L"Method(1234)"},
        {L"AnExtremelyLongFunctionName(7) : y", L"AnExtremelyLongFunctionNam"},
        {L"plain message without origin", L""},
    };
    static const DWORD kIds[] = {0, 1, 4, 99, 4711, 65535, 999999, 1000000, 4294967295u};
    ULONG64 seed = 0x9E3779B97F4A7C15ull;
    int mismatches = 0;
    for (int i = 0; i < 20000 && mismatches < 5; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        LiveLine line = {};
        // Mostly plausible times, sometimes any 64-bit value.
        ULONG64 ticks = (i % 50 == 0) ? seed : 125911584000000000ull + (seed >> 8) % 63113904000000000ull;
        line.timestamp.dwLowDateTime = (DWORD)ticks;
        line.timestamp.dwHighDateTime = (DWORD)(ticks >> 32);
        line.processId = (i & 1) ? kIds[(seed >> 20) % 9] : (DWORD)(seed >> 32);
        line.threadId = (i & 2) ? kIds[(seed >> 24) % 9] : (DWORD)(seed >> 16);
        line.level = (BYTE)(seed >> 40);
        line.isStatus = (seed >> 48) % 5 == 0;
        const Origin& origin = kOrigins[(seed >> 52) % 4];
        line.text = const_cast<WCHAR*>(origin.text);

        SYSTEMTIME time = {};
        FILETIME local;
        if (!FileTimeToLocalFileTime(&line.timestamp, &local) ||
            !FileTimeToSystemTime(&local, &time))
            time = SYSTEMTIME{};
        static const WCHAR* const kTags[] = {L"***", L"CRI", L"ERR", L"WRN", L"INF", L"VRB"};
        const WCHAR* tag = line.isStatus ? L"***" : line.level <= 5 ? kTags[line.level] : L"???";
        WCHAR expected[LINE_PREFIX_UNITS];
        FormatTruncating(expected, LINE_PREFIX_UNITS, kPrefixFormat, time.wHour, time.wMinute,
                         time.wSecond, time.wMilliseconds, tag, line.processId,
                         line.threadId, 26, 26, origin.origin);

        const WCHAR* body;
        std::wstring actual = Prefix(line, &body);
        if (actual != expected) {
            ++mismatches;
            ADD_FAILURE() << "ticks " << ticks << ", pid " << line.processId << ", tid "
                          << line.threadId << "\n  got      \""
                          << actual
                          << "\"\n  expected \""
                          << expected << "\"";
        }
    }
}

// --- Filters ------------------------------------------------------------------

struct FilterState {
    BYTE levelFilter;
    DWORD showOnlyPid;
    DWORD hiddenCount;
    const WCHAR* find;
};

void ApplyFilters(const FilterState& filters)
{
    liveState.levelFilter = filters.levelFilter;
    liveState.showOnlyPid = filters.showOnlyPid;
    // Entries past the count must be ignored.
    static const DWORD kHidden[LIVE_HIDDEN_PID_MAX] = {70, 90, 110, 130, 150, 170, 190, 210};
    memcpy(liveState.hiddenPids, kHidden, sizeof(kHidden));
    liveState.hiddenPidCount = filters.hiddenCount;
    wcsncpy(liveState.findText, filters.find, LIVE_FIND_TEXT_UNITS - 1);
    liveState.findText[LIVE_FIND_TEXT_UNITS - 1] = L'\0';
}

class LineFilterTest : public testing::Test {
protected:
    void TearDown() override { ApplyFilters({5, 0, 0, L""}); }
};

TEST_F(LineFilterTest, FilterOrder)
{
    struct Case {
        FilterState filters;
        BYTE level; DWORD isStatus; DWORD pid; const WCHAR* text;
        BOOL visible;
    };
    static const Case kCases[] = {
        // A slot without text never shows, not even as a status line.
        {{5, 0, 0, L""}, 0, 1, 5, nullptr, FALSE},
        // Level filter: level 0 always passes, 6 and above never.
        {{3, 0, 0, L""}, 1, 0, 5, L"m", TRUE},
        {{3, 0, 0, L""}, 2, 0, 5, L"m", TRUE},
        {{3, 0, 0, L""}, 3, 0, 5, L"m", TRUE},
        {{3, 0, 0, L""}, 4, 0, 5, L"m", FALSE},
        {{3, 0, 0, L""}, 5, 0, 5, L"m", FALSE},
        {{3, 0, 0, L""}, 0, 0, 5, L"m", TRUE},
        {{1, 0, 0, L""}, 0, 0, 5, L"m", TRUE},
        {{1, 0, 0, L""}, 2, 0, 5, L"m", FALSE},
        {{5, 0, 0, L""}, 5, 0, 5, L"m", TRUE},
        {{5, 0, 0, L""}, 6, 0, 5, L"m", FALSE},
        {{5, 0, 0, L""}, 7, 0, 5, L"m", FALSE},
        {{5, 0, 0, L""}, 255, 0, 5, L"m", FALSE},
        // Status lines pass every filter.
        {{1, 0, 0, L""}, 7, 1, 5, L"m", TRUE},
        {{5, 50, 0, L""}, 0, 1, 51, L"Monitoring started.", TRUE},
        {{5, 0, 2, L""}, 0, 1, 90, L"m", TRUE},
        {{5, 0, 0, L"absent"}, 0, 1, 5, L"Monitoring stopped.", TRUE},
        {{5, 0, 0, L"absent"}, 0, 1, 5, L"", TRUE},
        // Only one process.
        {{5, 50, 0, L""}, 4, 0, 50, L"m", TRUE},
        {{5, 50, 0, L""}, 4, 0, 51, L"m", FALSE},
        // Hidden processes, only the first hiddenPidCount entries.
        {{5, 0, 2, L""}, 4, 0, 70, L"m", FALSE},
        {{5, 0, 2, L""}, 4, 0, 90, L"m", FALSE},
        {{5, 0, 2, L""}, 4, 0, 110, L"m", TRUE},
        {{5, 0, 8, L""}, 4, 0, 210, L"m", FALSE},
        {{5, 0, 0, L""}, 4, 0, 70, L"m", TRUE},
        // A hidden process beats a matching find text.
        {{5, 0, 2, L"card"}, 4, 0, 90, L"card inserted", FALSE},
        {{5, 0, 2, L"card"}, 4, 0, 91, L"card inserted", TRUE},
        {{5, 50, 0, L"card"}, 4, 0, 91, L"card inserted", FALSE},
        // Find: case-insensitive for A to Z, anywhere in the stored text.
        {{5, 0, 0, L"err"}, 4, 0, 5, L"error", TRUE},
        {{5, 0, 0, L"err"}, 4, 0, 5, L"Error", TRUE},
        {{5, 0, 0, L"err"}, 4, 0, 5, L"an ERROR", TRUE},
        {{5, 0, 0, L"ERR"}, 4, 0, 5, L"terr", TRUE},
        {{5, 0, 0, L"err"}, 4, 0, 5, L"er r", FALSE},
        {{5, 0, 0, L"Open(42"}, 4, 0, 5, L"Reader::Open(42) : x", TRUE},
        {{5, 0, 0, L"errors"}, 4, 0, 5, L"error", FALSE},
        {{5, 0, 0, L"err"}, 4, 0, 5, L"", FALSE},
        {{5, 0, 0, L""}, 4, 0, 5, L"", TRUE},
        // Never the prefix: tag, ids.
        {{5, 0, 0, L"INF"}, 4, 0, 5, L"card", FALSE},
        {{5, 0, 0, L"4711"}, 4, 0, 4711, L"card", FALSE},
        // Non-ASCII letters match only in the same case.
        {{5, 0, 0, L"\u00e9t\u00e9"}, 4, 0, 5, L"\u00c9T\u00c9", FALSE},
        {{5, 0, 0, L"\u00e9t\u00e9"}, 4, 0, 5, L"l'\u00e9T\u00e9", TRUE},
        {{5, 0, 0, L"caf\u00e9"}, 4, 0, 5, L"CAF\u00c9", FALSE},
        {{5, 0, 0, L"caf\u00e9"}, 4, 0, 5, L"CAF\u00e9", TRUE},
        {{5, 0, 0, L"\u043e\u0448\u0438\u0431\u043a\u0430"}, 4, 0, 5,
         L"\u041e\u0428\u0418\u0411\u041a\u0410", FALSE},
        {{5, 0, 0, L"\u00c4rger"}, 4, 0, 5, L"\u00e4RGER", FALSE},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message()
                     << "filter " << (int)c.filters.levelFilter << " only "
                     << c.filters.showOnlyPid << " hidden " << c.filters.hiddenCount
                     << " find \"" << c.filters.find
                     << "\"; line level " << (int)c.level << " status " << c.isStatus
                     << " pid " << c.pid << " \""
                     << (c.text ? c.text : L"(null)") << "\"");
        ApplyFilters(c.filters);
        LiveLine line = MakeLine(c.level, c.isStatus, c.pid, 1, c.text);
        EXPECT_EQ(c.visible, IsLineVisible(&line));
    }
}

// The find test folds exactly as _wcsnicmp in the "C" locale: for every
// UTF-16 unit and its Unicode upper and lower case.
TEST_F(LineFilterTest, CaseFoldingMatchesTheCrtOverTheWholeBmp)
{
    int mismatches = 0;
    for (unsigned c = 1; c <= 0xFFFF && mismatches < 5; ++c) {
        WCHAR text[2] = {(WCHAR)c, 0};
        WCHAR upper[2] = {(WCHAR)c, 0}, lower[2] = {(WCHAR)c, 0};
        CharUpperBuffW(upper, 1);
        CharLowerBuffW(lower, 1);
        for (const WCHAR* other : {upper, lower}) {
            ApplyFilters({5, 0, 0, other});
            LiveLine line = MakeLine(4, 0, 5, 1, text);
            BOOL crtMatches = _wcsnicmp(text, other, 1) == 0;
            BOOL asciiFold = c < 0x80 || c == other[0];
            if (IsLineVisible(&line) != crtMatches || crtMatches != asciiFold) {
                ++mismatches;
                ADD_FAILURE() << std::hex << "unit 0x" << c << " against 0x" << other[0]
                              << ": visible " << IsLineVisible(&line) << ", _wcsnicmp "
                              << crtMatches;
            }
        }
    }
}

TEST_F(LineFilterTest, LocaleDoesNotChangeTheFind)
{
    const char* previous = setlocale(LC_ALL, nullptr);
    std::string saved = previous != nullptr ? previous : "C";
    if (setlocale(LC_ALL, "French_France.1252") == nullptr)
        GTEST_SKIP() << "no French locale in this CRT";
    ApplyFilters({5, 0, 0, L"caf\u00e9"});
    LiveLine line = MakeLine(4, 0, 5, 1, L"CAF\u00c9");
    BOOL visible = IsLineVisible(&line);
    setlocale(LC_ALL, saved.c_str());
    EXPECT_FALSE(visible);
}

}  // namespace
