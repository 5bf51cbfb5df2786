// Stored lines as displayed: columns, local time, filters, the RTF buffer
// out of memory, the status bar.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/wide_format.h"
#include "live/line_format.h"
#include "live/line_store.h"
#include "live/rtf_builder.h"
#include "live/status_bar.h"
#include "test_support/import_patch.h"

namespace {

// A line stamped 09:05:03.007 local time.
LiveLine MakeLine(BYTE level, DWORD isStatus, DWORD pid, DWORD tid, const WCHAR* text)
{
    SYSTEMTIME local = {2024, 3, 4, 14, 9, 5, 3, 7}, utcTime = {};
    FILETIME utc = {};
    EXPECT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &utcTime));
    EXPECT_TRUE(SystemTimeToFileTime(&utcTime, &utc));
    return LiveLine{utc, pid, tid, level, isStatus, const_cast<WCHAR*>(text)};
}

// Formats into a sentinel-filled buffer with a guard unit past its end.
std::wstring Prefix(const LiveLine& line, const WCHAR** body)
{
    WCHAR buffer[LINE_PREFIX_UNITS + 1];
    wmemset(buffer, 0xCCCC, LINE_PREFIX_UNITS + 1);
    *body = nullptr;
    FormatLinePrefix(&line, buffer, body);
    EXPECT_EQ(0xCCCC, buffer[LINE_PREFIX_UNITS]) << "guard unit overwritten";
    return std::wstring(buffer, wcsnlen(buffer, LINE_PREFIX_UNITS));
}

TEST(LineFormatTest, OriginAndBodySplit)
{
    struct Case { const WCHAR* text; const WCHAR* origin; size_t bodyOffset; };
    static const Case kCases[] = {
        {L"std::vector<int>::~vector(3) : gone", L"~vector(3)", 31},
        // 26 characters fit whole; past 26 the last scope component is
        // taken if it fits, else the origin is cut.
        {L"ABCDEFGHIJKLMNOPQRSTUV(12) : a", L"ABCDEFGHIJKLMNOPQRSTUV(12)", 29},
        {L"AnExtremelyLongFunctionName(7) : y", L"AnExtremelyLongFunctionNam", 33},
        {L"Ns::ABCDEFGHIJKLMNOPQRSTUV(12) : e", L"ABCDEFGHIJKLMNOPQRSTUV(12)", 33},
        {L"Ns::ABCDEFGHIJKLMNOPQRSTUVW(12) : f", L"Ns::ABCDEFGHIJKLMNOPQRSTUV", 34},
        {L"SomeLongScopeName:::Method(1) : d", L"Method(1)", 32},
        // Not the shape "name(digits) : ".
        {L"Open() : no digits", L"", 0},
        {L"Open(4a) : letter in the line", L"", 0},
        {L"Open(42): no blank before the colon", L"", 0},
        {L"Open(42) :no blank after", L"", 0},
        {L"", L"", 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
        const WCHAR* body;
        std::wstring prefix = Prefix(MakeLine(4, 0, 1, 2, c.text), &body);
        std::wstring column = c.origin;
        column.resize(26, L' ');
        EXPECT_EQ(column + L"  ", prefix.substr(34));
        EXPECT_EQ(c.text + c.bodyOffset, body);
    }
}

// Each line shows the offset of its own time (tests run in Europe/Berlin):
// summer and winter lines, both sides of a change, in any order.
TEST(LineFormatTest, LocalTimeOfTheLinesOwnDate)
{
    struct Case { SYSTEMTIME utc; const WCHAR* shown; };
    const Case kCases[] = {
        {{2024, 7, 1, 1, 7, 5, 3, 7}, L"09:05:03.007"},
        {{2024, 1, 0, 15, 8, 5, 3, 7}, L"09:05:03.007"},
        {{2024, 3, 0, 31, 0, 59, 59, 999}, L"01:59:59.999"},
        {{2024, 3, 0, 31, 1, 0, 0, 0}, L"03:00:00.000"},
        {{2024, 10, 0, 27, 0, 59, 59, 999}, L"02:59:59.999"},
        {{2024, 10, 0, 27, 1, 0, 0, 0}, L"02:00:00.000"},
        {{2024, 7, 1, 1, 7, 5, 3, 7}, L"09:05:03.007"},
    };
    for (const Case& c : kCases) {
        LiveLine line = MakeLine(4, 0, 1, 2, L"x");
        ASSERT_TRUE(SystemTimeToFileTime(&c.utc, &line.timestamp));
        const WCHAR* body;
        EXPECT_EQ(c.shown, Prefix(line, &body).substr(0, 12)) << "month " << c.utc.wMonth;
    }
}

// --- Filters ------------------------------------------------------------------

struct FilterState { BYTE levelFilter; DWORD showOnlyPid; DWORD hiddenCount; const WCHAR* find; };

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
    struct Case { FilterState filters; BYTE level; DWORD isStatus; DWORD pid; const WCHAR* text; BOOL visible; };
    static const Case kCases[] = {
        // A slot without text never shows, not even as a status line.
        {{5, 0, 0, L""}, 0, 1, 5, nullptr, FALSE},
        // Level: up to the filter; 0 passes every filter, 6 and above none.
        {{3, 0, 0, L""}, 3, 0, 5, L"m", TRUE},
        {{3, 0, 0, L""}, 4, 0, 5, L"m", FALSE},
        {{1, 0, 0, L""}, 0, 0, 5, L"m", TRUE},
        {{5, 0, 0, L""}, 6, 0, 5, L"m", FALSE},
        // Status lines pass every filter.
        {{1, 0, 0, L""}, 7, 1, 5, L"m", TRUE},
        {{5, 50, 0, L""}, 0, 1, 51, L"m", TRUE},
        {{5, 0, 2, L""}, 0, 1, 90, L"m", TRUE},
        {{5, 0, 0, L"absent"}, 0, 1, 5, L"m", TRUE},
        // Only one process; hidden ones, the first hiddenPidCount entries.
        {{5, 50, 0, L""}, 4, 0, 50, L"m", TRUE},
        {{5, 50, 0, L""}, 4, 0, 51, L"m", FALSE},
        {{5, 0, 2, L""}, 4, 0, 90, L"m", FALSE},
        {{5, 0, 2, L""}, 4, 0, 110, L"m", TRUE},
        {{5, 0, 8, L""}, 4, 0, 210, L"m", FALSE},
        // A hidden or other process beats a matching find text.
        {{5, 0, 2, L"card"}, 4, 0, 90, L"card inserted", FALSE},
        {{5, 0, 2, L"card"}, 4, 0, 91, L"card inserted", TRUE},
        // Find: anywhere in the text, never in the prefix; folding below.
        {{5, 0, 0, L"ERR"}, 4, 0, 5, L"an error", TRUE},
        {{5, 0, 0, L"err"}, 4, 0, 5, L"er r", FALSE},
        {{5, 0, 0, L"errors"}, 4, 0, 5, L"error", FALSE},
        {{5, 0, 0, L"INF"}, 4, 0, 5, L"card", FALSE},
        // Case folds for A to Z only, whatever a locale would say.
        {{5, 0, 0, L"[@\u00e9"}, 4, 0, 5, L"{`\u00e9", FALSE},
        {{5, 0, 0, L"caf\u00e9"}, 4, 0, 5, L"CAF\u00c9", FALSE},
        {{5, 0, 0, L"CAF\u00e9"}, 4, 0, 5, L"new caf\u00e9", TRUE},
        {{5, 0, 0, L"az"}, 4, 0, 5, L"AZ", TRUE},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - kCases);
        ApplyFilters(c.filters);
        LiveLine line = MakeLine(c.level, c.isStatus, c.pid, 1, c.text);
        EXPECT_EQ(c.visible, IsLineVisible(&line));
    }
}

// --- RTF buffer and status bar --------------------------------------------

void* __cdecl FailingRealloc(void*, size_t)
{
    return nullptr;
}

TEST(RtfBufferTest, EscapesAndRefusesEveryAppendAfterAFailure)
{
    // Runs of eight plain units and single units alike.
    const struct { const WCHAR* text; const char* rtf; } kEscapes[] = {
        {L"Reader::Open(42) : card", "Reader::Open(42) : card"},
        {L"abcdefg{}\\\tx\r\ny~", "abcdefg\\{\\}\\\\\\tab x  y~"},
        {L"abcdefgh\x00E9" L"bcdefgh\x0080\xFFFF\x7F\x01z", "abcdefgh\\u233?bcdefgh\\u128?\\u-1?\x7Fz"},
        {L"1234567}1234567{", "1234567\\}1234567\\{"},
    };
    for (const auto& c : kEscapes) {
        RtfBuffer escaped = {};
        RtfAppendEscaped(&escaped, c.text);
        EXPECT_STREQ(c.rtf, escaped.data);
        RtfBufferFree(&escaped);
    }

    RtfBuffer buffer = {};
    RtfAppend(&buffer, "{\\rtf1 kept");
    ASSERT_FALSE(buffer.failed);
    ASSERT_EQ(65536u, buffer.capacity);
    std::string big(65536, 'x');
    {
        ImportPatch patch("msvcrt.dll", "realloc", (void*)FailingRealloc);
        ASSERT_TRUE(patch.active());
        RtfAppend(&buffer, big.c_str());
    }
    EXPECT_TRUE(buffer.failed);
    EXPECT_STREQ("{\\rtf1 kept", buffer.data) << "the old data stays with the buffer";
    RtfAppend(&buffer, "x");
    RtfAppendEscaped(&buffer, L"y");
    EXPECT_EQ(11u, buffer.length);
    EXPECT_FALSE(RtfBufferReserve(&buffer, 1));
    RtfBufferFree(&buffer);

    // A need beyond the 32-bit length is refused, not wrapped around.
    RtfAppend(&buffer, "abc");
    EXPECT_FALSE(RtfBufferReserve(&buffer, 0xFFFFFFFFu));
    EXPECT_TRUE(buffer.failed);
    EXPECT_EQ(3u, buffer.length);
    RtfBufferFree(&buffer);
}

class StatusBarTest : public testing::Test {
protected:
    void SetUp() override
    {
        parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1000, 300, nullptr, nullptr,
                                 nullptr, nullptr);
        bar = CreateWindowExW(0, STATUSCLASSNAMEW, nullptr, WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP,
                              0, 0, 0, 0, parent, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, bar);
        liveState.consumerThread = nullptr;
        ASSERT_TRUE(CreateLineStore());
        liveState.statusBar = bar;
    }

    void TearDown() override
    {
        liveState.statusBar = nullptr;
        liveState.showOnlyPid = 0;
        liveState.hiddenPidCount = 0;
        DestroyLineStore();
        DestroyWindow(parent);
    }

    std::wstring Text(int part)
    {
        WCHAR text[256] = L"";
        SendMessageW(bar, SB_GETTEXTW, part, (LPARAM)text);
        return text;
    }

    HWND parent = nullptr;
    HWND bar = nullptr;
};

// The hidden processes listed; a text past 127 units cut there.
TEST_F(StatusBarTest, FirstTextNamesTheHiddenProcessesWithin127Units)
{
    FILETIME time = {};
    for (int i = 0; i < 500; ++i)
        AppendLiveLine(&time, 10, 20, 4, 0, _wcsdup(L"line"));
    const DWORD hidden[8] = {4294967295u, 1, 2, 3, 4, 5, 6, 4000000000u};
    memcpy(liveState.hiddenPids, hidden, sizeof(hidden));
    liveState.hiddenPidCount = 8;
    UpdateStatusBar();
    std::wstring list = L"4294967295, 1, 2, 3, 4, 5, 6, 4000000000";
    EXPECT_EQ(L" Captured: 500  -  hiding PID " + list, Text(0));
    EnterCriticalSection(&liveState.storeLock);
    liveState.totalCount = 18446744073709551615ull;
    LeaveCriticalSection(&liveState.storeLock);
    for (DWORD& pid : liveState.hiddenPids)
        pid = 4000000000u + (DWORD)(&pid - liveState.hiddenPids);
    UpdateStatusBar();
    std::wstring full = L" Captured: 18446744073709551615  -  hiding PID 4000000000";
    for (int i = 1; i < 8; ++i)
        full += L", 400000000" + std::to_wstring(i);
    EXPECT_EQ(full.substr(0, 127), Text(0));
}

TEST_F(StatusBarTest, PartsFollowTheWidth)
{
    const struct { int width; int edges[3]; } cases[] = {
        {1000, {680, 790, -1}},
        {500, {180, 290, -1}},
        {320, {80, 140, -1}},
        {250, {80, 140, -1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "width " << c.width);
        SetWindowPos(parent, nullptr, 0, 0, c.width, 300, SWP_NOMOVE | SWP_NOZORDER);
        SendMessageW(bar, WM_SIZE, 0, 0);   // docks to the parent's width
        RECT client;
        GetClientRect(bar, &client);
        ASSERT_EQ(c.width, client.right);
        SetStatusBarParts(bar);
        int edges[4] = {-7, -7, -7, -7};
        ASSERT_EQ(3, SendMessageW(bar, SB_GETPARTS, 4, (LPARAM)edges));
        EXPECT_EQ((std::vector<int>{c.edges[0], c.edges[1], c.edges[2], -7}), std::vector<int>(edges, edges + 4));
    }
}

}  // namespace
