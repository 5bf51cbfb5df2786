// What the Live Tracing window's view shows while events arrive.
#include "tests/live_window_fixture.h"

#include <algorithm>

#include "etw_emulation/synthetic_traffic.h"
#include "live/live_view.h"
#include "test_support/import_patch.h"

namespace {

// The local time `zoneHours` east of the test's own zone.
int zoneHours = 0;
ImportPatch* zonePatch = nullptr;
BOOL WINAPI ZoneEastOfHere(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* utc, SYSTEMTIME* local)
{
    SYSTEMTIME shifted = *utc;
    FILETIME time;
    SystemTimeToFileTime(utc, &time);
    ULONGLONG ticks = (((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime) + zoneHours * 36000000000ull;
    time = {(DWORD)ticks, (DWORD)(ticks >> 32)};
    FileTimeToSystemTime(&time, &shifted);
    return zonePatch->original<decltype(&SystemTimeToTzSpecificLocalTime)>()(zone, &shifted, local);
}

// Character format of the character at `index`, as the view shows it.
CHARFORMAT2W FormatAt(HWND view, LONG index)
{
    CHARRANGE range = {index, index + 1};
    SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&range);
    CHARFORMAT2W format = {};
    format.cbSize = sizeof(format);
    SendMessageW(view, EM_GETCHARFORMAT, SCF_SELECTION, (LPARAM)&format);
    return format;
}

TEST_F(LiveWindowTest, LinesInTheirColumnsAndColoursInBothThemes)
{
    Open();
    Log(4, L"Reader::Open(42) : card inserted");
    Log(1, L"Long::Namespace::Name::Here::Method(1234) : x", 4, 4);
    Log(3, L"plain message without origin", 4294967295u, 1000000);
    Log(2, L"Pin::Verify(7) : tab\there {1}", 99, 1);
    Log(5, L"verbose", 5, 5);
    Log(0, L"level zero", 6, 6);
    ASSERT_TRUE(WaitUntil([&] { return LineCount() == 7; }));
    const struct { const WCHAR* line; COLORREF light, dark; bool bold; } kLines[] = {
        {nullptr, RGB(0, 0, 192), RGB(110, 150, 255), false},   // "Monitoring started."
        {L"TIME  INF    4242:77      Reader::Open(42)            card inserted", RGB(0, 0, 0), RGB(232, 232, 232),
         false},
        {L"TIME  CRI       4:4       Method(1234)                x", RGB(192, 0, 0), RGB(255, 96, 96), true},
        {L"TIME  WRN  4294967295:1000000                              plain message without origin", RGB(176, 80, 0),
         RGB(255, 170, 60), false},   // longer ids push the columns
        {L"TIME  ERR      99:1       Pin::Verify(7)              tab\there {1}", RGB(192, 0, 0), RGB(255, 96, 96),
         false},
        {L"TIME  VRB       5:5                                   verbose", RGB(128, 128, 128), RGB(150, 150, 150),
         false},
        {L"TIME  ***       6:6                                   level zero", RGB(0, 0, 0), RGB(232, 232, 232), false},
    };
    EXPECT_TRUE(WaitForStatus(0, L" Captured: 7"));
    EXPECT_EQ(L" Errors: 2", Status(1));
    // The theme changes when the system says so, and only the colours change.
    for (bool dark : {false, true}) {
        if (dark) {
            theme.SetDark(true);
            SendMessageW(window, WM_SETTINGCHANGE, 0, (LPARAM)L"intl");
            EXPECT_EQ(RGB(0, 0, 0), FormatAt(view, LineStart(1)).crTextColor) << "other settings";
            SendMessageW(window, WM_SETTINGCHANGE, 0, (LPARAM)L"ImmersiveColorSet");
        }
        std::vector<std::wstring> lines = Lines();
        ASSERT_EQ(7u, lines.size());
        for (int i = 0; i < 7; ++i) {
            SCOPED_TRACE(testing::Message() << (dark ? "dark" : "light") << ", line " << i);
            if (kLines[i].line != nullptr) {
                EXPECT_EQ(Shown(kLines[i].line), lines[i]);
            }
            for (LONG column : {0L, 20L, (LONG)kBodyColumn}) {
                CHARFORMAT2W format = FormatAt(view, LineStart(i) + column);
                EXPECT_EQ(dark ? kLines[i].dark : kLines[i].light, format.crTextColor) << "column " << column;
                EXPECT_EQ(kLines[i].bold, (format.dwEffects & CFE_BOLD) != 0) << "column " << column;
                EXPECT_EQ(180, format.yHeight) << "9 points";
                EXPECT_STREQ(liveState.fontFace, format.szFaceName);
            }
        }
        // EM_SETBKGNDCOLOR answers the colour it replaces.
        COLORREF background = (COLORREF)SendMessageW(view, EM_SETBKGNDCOLOR, 0, RGB(1, 2, 3));
        SendMessageW(view, EM_SETBKGNDCOLOR, 0, background);
        EXPECT_EQ(dark ? RGB(43, 43, 43) : GetSysColor(COLOR_WINDOW), background);
    }
    // The user moves to another time zone: the system answers with other
    // offsets and says so; every line shows its new local time.
    const struct { UINT message; const WCHAR* area; int hours; const WCHAR* shown; } kZones[] = {
        {WM_SETTINGCHANGE, L"intl", 1, L"12:05:03.007"},
        {WM_TIMECHANGE, nullptr, 3, L"14:05:03.007"},
    };
    for (const auto& zone : kZones) {
        zoneHours = zone.hours;
        ImportPatch patch("kernel32.dll", "SystemTimeToTzSpecificLocalTime", (void*)ZoneEastOfHere);
        ASSERT_TRUE(patch.active());
        zonePatch = &patch;
        SendMessageW(window, zone.message, 0, (LPARAM)zone.area);
        Log(4, L"Reader::Close(43) : card removed");
        ASSERT_TRUE(WaitForLastBody(L"card removed"));
        std::vector<std::wstring> lines = Lines();
        EXPECT_EQ(zone.shown, lines[1].substr(0, 12)) << zone.hours;
        EXPECT_EQ(zone.shown, lines.back().substr(0, 12)) << zone.hours;
    }
}

// Pause holds new lines until Resume renders them at once. More than the
// store holds while paused: the lines that dropped out unseen are counted,
// on resume and on a rebuild (a filter change) alike, until Clear; what ETW
// itself dropped is counted apart.
TEST_F(LiveWindowTest, PauseHoldsLinesAndCountsThoseDroppedUnseen)
{
    Open();
    // The rebuild first: Wine's rich edit takes minutes to clear 50000 lines.
    for (bool rebuild : {true, false}) {
        SCOPED_TRACE(rebuild ? "rebuilt while paused" : "resumed");
        Press(IDC_LIVE_CLEAR);
        TypeText(window, IDC_LIVE_FIND, L"");
        ASSERT_TRUE(WaitUntil([] { return liveState.findText[0] == L'\0'; }));
        Press(IDC_LIVE_PAUSE);
        EXPECT_EQ(L"&Resume", ItemText(window, IDC_LIVE_PAUSE));
        LogNumbered(0, 60000);
        // The refresh tick rewrites the status bar; it would render the lines too.
        ASSERT_TRUE(WaitForStatus(2, L" PAUSED - 60000 line(s) pending"));
        EXPECT_EQ(0, LineCount()) << "held while paused";
        if (rebuild) {
            TypeText(window, IDC_LIVE_FIND, L"event 5999");
            std::vector<std::wstring> found;
            for (int i = 59990; i < 60000; ++i)
                found.push_back(Numbered(i));
            ASSERT_TRUE(WaitUntil([&] { return Bodies() == found; }));
        }
        Press(IDC_LIVE_PAUSE);
        EXPECT_EQ(L"&Pause", ItemText(window, IDC_LIVE_PAUSE));
        EXPECT_EQ(L" Running - 10000 line(s) lost (buffer full)", Status(2));
        if (!rebuild) {
            EXPECT_EQ(50000, LineCount()) << "rendered at once on resume";
            EXPECT_EQ(Numbered(10000), BodyOf(LineText(0))) << "the oldest still held";
            EXPECT_EQ(Numbered(59999), LastBody());
        }
    }

    // What ETW itself drops is told apart, once a second at most: a query
    // that fails is passed over; a growth gets a line where it happened.
    auto queries = [] {
        size_t count = 0;
        EtwEmuCall call;
        for (size_t i = 0; EtwEmuGetCall(i, &call); ++i)
            count += call.function == kEmuControlTrace && call.controlCode == 0;
        return count;
    };
    const std::wstring kBehind = L": the consumer or the system could not keep up, lines are missing here.";
    size_t asked = queries();
    EXPECT_GT(asked, 0u) << "asked since the window opened";
    EtwEmuFailCall(kEmuControlTrace, (ULONG)asked + 1, ERROR_ACCESS_DENIED);
    EtwEmuFailCall(kEmuControlTrace, (ULONG)asked + 2, ERROR_ACCESS_DENIED);
    EtwEmuAddSessionLosses(LIVE_SESSION_NAME, 7, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return queries() >= asked + 2; }));
    RunOnUiThread(run, [] {});
    EXPECT_EQ(Numbered(59999), LastBody()) << "failed queries tell nothing";
    EXPECT_EQ(L" Running - 10000 line(s) lost (buffer full)", Status(2));
    EXPECT_TRUE(WaitForLastBody(L"ETW dropped 7 event(s) since the trace started" + kBehind));
    EXPECT_TRUE(WaitForStatus(2, L" Running - 10000 line(s) lost (buffer full), ETW lost 7 event(s)"));

    // The consumer held up while events come: its queue (a hundred here)
    // overflows, the rest is dropped.
    ASSERT_TRUE(EtwEmuLimitQueue(LIVE_SESSION_NAME, 100));
    EnterCriticalSection(&liveState.storeLock);
    for (DWORD i = 0; i < 1000; ++i)
        Log(4, L"flood", 4242, 77, false);
    LeaveCriticalSection(&liveState.storeLock);
    ASSERT_TRUE(EtwEmuWaitDelivered(LIVE_SESSION_NAME, LIVE_BIG_WAIT_MS));
    ULONG64 dropped = EtwEmuEventsLost(LIVE_SESSION_NAME) - 7, stored = 0;
    EnterCriticalSection(&liveState.storeLock);
    for (ULONG64 s = liveState.totalCount - 1000; s < liveState.totalCount; ++s)
        stored += wcscmp(liveState.slots[s % 50000].text, L"flood") == 0;
    LeaveCriticalSection(&liveState.storeLock);
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(1000u, stored + dropped) << "each event stored or counted lost";
    EXPECT_TRUE(WaitForLastBody(L"ETW dropped " + std::to_wstring(dropped) + L" event(s) since the last such line" +
                                kBehind));
    EtwEmuAddSessionLosses(LIVE_SESSION_NAME, 2, 3, 4);
    EXPECT_TRUE(WaitForLastBody(L"ETW dropped 2 event(s) and 7 buffer(s) of events since the last such line" +
                                kBehind));
    EXPECT_TRUE(WaitForStatus(2, L" Running - 10000 line(s) lost (buffer full), ETW lost " +
                                     std::to_wstring(dropped + 9) + L" event(s) and 7 buffer(s)"));
    Press(IDC_LIVE_PAUSE);
    EXPECT_EQ(L" PAUSED - 0 line(s) pending, ETW lost " + std::to_wstring(dropped + 9) + L" event(s) and 7 buffer(s)",
              Status(2)) << "the pause is told first";
}

// A document far taller than the 65535 pixels of a 16-bit scroll point:
// the view follows its end, or keeps the line the user looks at, through
// arrivals, Copy and trims (the cap made small enough to trim at this
// height).
TEST_F(LiveWindowTest, TallViewFollowsItsEndOrKeepsTheUsersLine)
{
    Open();
    DWORD next = 0;
    auto log = [&](DWORD count) {
        LogNumbered(next, count);
        next += count;
        ASSERT_TRUE(WaitForLastBody(Numbered(next - 1)));
    };
    auto top = [&](int line) {
        POINTL origin = {}, start = {};
        SendMessageW(view, EM_POSFROMCHAR, (WPARAM)&origin, 0);
        SendMessageW(view, EM_POSFROMCHAR, (WPARAM)&start, LineStart(line));
        return start.y - origin.y;
    };
    // The newest line, on screen from its top to its bottom.
    auto newestShown = [&] {
        int newest = LineCount() - 1;
        POINTL start = {};
        SendMessageW(view, EM_POSFROMCHAR, (WPARAM)&start, LineStart(newest));
        LONG height = top(newest + 1) - top(newest);
        return BodyOf(LineText(newest)) == Numbered(next - 1) && start.y >= 0 &&
               start.y + height <= ClientSize(view).cy;
    };
    auto firstShown = [&] { return BodyOf(LineText(FirstVisibleLine())); };
    auto selected = [&] {
        WCHAR text[64] = L"";
        SendMessageW(view, EM_GETSELTEXT, 0, (LPARAM)text);
        return std::wstring(text);
    };

    log(7000);
    LONG height = top(LineCount());
    printf("%d lines, %ld pixels\n", LineCount(), height);
    ASSERT_GT(height, 65535);
    EXPECT_TRUE(newestShown()) << "at the end: " << firstShown();
    log(100);
    EXPECT_TRUE(newestShown()) << "followed: " << firstShown();

    // Scrolled up, with text selected: the same line stays on top.
    ScrollToLine(785);
    ASSERT_EQ(Numbered(784), firstShown());
    LONG start = LineStart(790) + (LONG)kBodyColumn;
    CHARRANGE selection = {start, start + 9};
    SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&selection);
    ScrollToLine(785);
    ASSERT_EQ(L"event 789", selected());
    log(100);
    EXPECT_EQ(Numbered(784), firstShown()) << "lines arrived";
    Press(IDC_LIVE_COPY);
    EXPECT_EQ(Numbered(784), firstShown()) << "copied";
    EXPECT_EQ(L"event 789", selected());

    // A trim cuts the lines above; the same text stays on top and selected.
    RunOnUiThread(run, [] {
        liveState.viewMaxLines = 7400;
        liveState.viewKeptLines = 7000;
    });
    log(300);
    EXPECT_EQ(6999, LineCount()) << "7000 with the empty last line";
    EXPECT_EQ(Numbered(501), BodyOf(LineText(0)));
    EXPECT_EQ(Numbered(784), firstShown()) << "trimmed";
    EXPECT_EQ(L"event 789", selected());

    // Sixty lines above the end is not the end; with Auto-scroll off the
    // end is not followed either.
    CHARRANGE caret = {0, 0};
    SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&caret);
    SendMessageW(view, WM_VSCROLL, SB_BOTTOM, 0);
    int nearEnd = FirstVisibleLine() - 60;
    ScrollToLine(nearEnd);
    std::wstring shown = firstShown();
    log(50);
    EXPECT_EQ(shown, firstShown()) << "sixty lines above the end";
    Press(IDC_LIVE_AUTOSCROLL);
    SendMessageW(view, WM_VSCROLL, SB_BOTTOM, 0);
    shown = firstShown();
    log(50);
    EXPECT_EQ(shown, firstShown()) << "Auto-scroll off";
    Press(IDC_LIVE_AUTOSCROLL);
    EXPECT_TRUE(newestShown()) << "Auto-scroll on again: " << firstShown();
    log(400);
    EXPECT_EQ(6999, LineCount());
    EXPECT_TRUE(newestShown()) << "trimmed at the end: " << firstShown();
}

// A document's header reads the theme from the registry.
int themeReads = 0;
ImportPatch* readPatch = nullptr;
LSTATUS WINAPI CountRead(HKEY key, LPCWSTR subKey, LPCWSTR value, DWORD flags, LPDWORD type, PVOID data,
                         LPDWORD size)
{
    ++themeReads;
    return readPatch->original<decltype(&RegGetValueW)>()(key, subKey, value, flags, type, data, size);
}

// Both filters act on every held line; the find filter once typing pauses.
// Idle ticks render nothing.
TEST_F(LiveWindowTest, FiltersRebuildFromEveryHeldLine)
{
    Open();
    {
        ImportPatch patch("advapi32.dll", "RegGetValueW", (void*)CountRead);
        ASSERT_TRUE(patch.active());
        readPatch = &patch;
        RunOnUiThread(run, [] { themeReads = 0; });
        Sleep(1000);
        RunOnUiThread(run, [] {});
        EXPECT_EQ(0, themeReads) << "ten idle ticks built a document";
        Log(4, L"one line");
        EXPECT_TRUE(WaitUntil([] { return themeReads > 0; })) << "a tick with a line builds one";
    }
    for (UCHAR level : {0, 1, 2, 3, 4, 5})
        Log(level, (L"level " + std::to_wstring(level)).c_str());
    for (const WCHAR* text : {L"card inserted", L"Card removed"})
        Log(3, text);
    ASSERT_TRUE(WaitForLastBody(L"Card removed"));
    const std::wstring kStarted = L"Monitoring started.";
    ChooseComboItem(window, IDC_LIVE_LEVEL, 0);
    std::vector<std::wstring> critical = {kStarted, L"level 0", L"level 1"};
    EXPECT_TRUE(WaitUntil([&] { return Bodies() == critical; }));
    ChooseComboItem(window, IDC_LIVE_LEVEL, 4);
    ASSERT_TRUE(WaitUntil([&] { return LineCount() == 10; }));

    int rebuilds = 0;
    RunOnUiThread(run, [&] { SetWindowSubclass(view, CountSetText, 1, (DWORD_PTR)&rebuilds); });
    // Three keystrokes in a row, with no timer tick between them.
    RunOnUiThread(run, [&] {
        for (const WCHAR* typed : {L"c", L"ca", L"CAR"})
            TypeText(window, IDC_LIVE_FIND, typed);
    });
    std::vector<std::wstring> cards = {kStarted, L"card inserted", L"Card removed"};
    EXPECT_TRUE(WaitUntil([&] { return Bodies() == cards; }));
    BOOL timerLeft = TRUE;
    RunOnUiThread(run, [&] { timerLeft = KillTimer(window, LIVE_FIND_TIMER); });
    EXPECT_FALSE(timerLeft) << "the find timer stops on its first tick";
    EXPECT_EQ(1, rebuilds);
    TypeText(window, IDC_LIVE_FIND, L"");
    EXPECT_TRUE(WaitUntil([&] { return LineCount() == 10; }));
    RunOnUiThread(run, [&] { RemoveWindowSubclass(view, CountSetText, 1); });
}

// The synthetic source at full speed until three times what the store holds
// was logged: the window answers every message sent meanwhile within 5 s
// (when Windows would call it hung), and the store holds the newest 50000
// events in order.
TEST_F(LiveWindowTest, FloodKeepsTheWindowAnsweringAndTheNewestLines)
{
    Open();
    // A find text no synthetic message holds keeps Wine's slow rich edit
    // small while every tick still filters all new lines under the lock.
    TypeText(window, IDC_LIVE_FIND, L"no synthetic message says this");
    ASSERT_TRUE(WaitUntil([&] { return wcscmp(liveState.findText, L"no synthetic message says this") == 0; }));
    ASSERT_TRUE(StartSyntheticTraffic(0));
    int unanswered = 0;
    DWORD slowest = 0;
    while (SyntheticEventsLogged() < 150000) {
        DWORD sent = GetTickCount();
        DWORD_PTR result;
        unanswered += !SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
        slowest = std::max(slowest, GetTickCount() - sent);
    }
    StopSyntheticTraffic();
    printf("slowest answer while flooded: %lu ms\n", slowest);
    EXPECT_EQ(0, unanswered) << "messages unanswered for 5 s while flooded";
    ASSERT_EQ(0u, EtwEmuEventsLost(LIVE_SESSION_NAME));
    ASSERT_TRUE(EtwEmuWaitDelivered(LIVE_SESSION_NAME, LIVE_BIG_WAIT_MS));

    ULONG64 logged = SyntheticEventsLogged();
    SyntheticEvent first, last;     // the newest 50000, from the first held to the last
    DescribeSyntheticEvent(logged - 50000, &first);
    DescribeSyntheticEvent(logged - 1, &last);
    EnterCriticalSection(&liveState.storeLock);
    EXPECT_EQ(50000u, liveState.heldCount);
    EXPECT_STREQ(first.text, liveState.slots[(logged + 1 - 50000) % 50000].text);
    EXPECT_STREQ(last.text, liveState.slots[logged % 50000].text);
    LeaveCriticalSection(&liveState.storeLock);
    EXPECT_TRUE(WaitForStatus(0, L" Captured: " + std::to_wstring(logged + 1))) << "with \"Monitoring started.\"";
    Close();
    EXPECT_EQ(nullptr, liveState.consumerThread) << "the consumer ended within the wait";
}

}  // namespace
