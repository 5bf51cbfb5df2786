// What the Live Tracing window's view shows while events arrive.
#include "tests/live_window_fixture.h"

#include "etw_emulation/synthetic_traffic.h"
#include "live/live_view.h"

namespace {

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
}

// Pause holds new lines until Resume renders them at once. More than the
// store holds while paused: the lines that dropped out unseen are counted,
// on resume and on a rebuild (a filter change) alike, until Clear.
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
    Press(IDC_LIVE_PAUSE);
    EXPECT_EQ(L" PAUSED - 0 line(s) pending", Status(2)) << "the pause is told first";
}

// The view cut back past a small cap keeps the lines on screen and the selection.
TEST_F(LiveWindowTest, TrimmedViewKeepsWhatTheUserLooksAt)
{
    Open();
    int next = 0;
    auto stream = [&](int count) {
        std::string document = "{\\rtf1\\ansi ";
        for (int end = next + count; next < end; ++next)
            document += "line " + std::to_string(next) + "\\par\n";
        document += "}";
        RtfBuffer buffer = {(char*)document.c_str(), (UINT32)document.size(), (UINT32)document.size(), FALSE};
        RunOnUiThread(run, [&] { StreamIntoView(view, &buffer, FALSE, 250, 200); });
    };
    auto firstVisible = [&] { return LineText(FirstVisibleLine()); };
    stream(240);
    ScrollToLine(150);
    ASSERT_EQ(L"line 149", firstVisible());
    stream(20);     // 262 lines with the status line and the empty last one
    EXPECT_EQ(200, (int)SendMessageW(view, EM_GETLINECOUNT, 0, 0));
    EXPECT_EQ(L"line 61", LineText(0));
    EXPECT_EQ(L"line 149", firstVisible());

    LONG start = LineStart(90) + 2;
    CHARRANGE selection = {start, start + 10};
    SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&selection);
    ScrollToLine(85);
    std::wstring shown = firstVisible();
    WCHAR before[32] = {}, after[32] = {};
    SendMessageW(view, EM_GETSELTEXT, 0, (LPARAM)before);
    stream(60);
    SendMessageW(view, EM_GETSELTEXT, 0, (LPARAM)after);
    EXPECT_STREQ(before, after);
    EXPECT_EQ(shown, firstVisible());
}

TEST_F(LiveWindowTest, ScrolledUpViewKeepsItsPlaceWhileLinesArrive)
{
    Open();
    LogNumbered(0, 300);
    ASSERT_TRUE(WaitForLastBody(Numbered(299)));
    const struct { const char* name; bool autoScroll, scrollToTop, follows; } kCases[] = {
        {"auto-scroll, scrolled up", true, true, false},
        {"auto-scroll, at the bottom", true, false, true},
        {"no auto-scroll, at the bottom", false, false, false},
    };
    DWORD next = 300;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        if ((IsDlgButtonChecked(window, IDC_LIVE_AUTOSCROLL) == BST_CHECKED) != c.autoScroll)
            Press(IDC_LIVE_AUTOSCROLL);
        SendMessageW(view, WM_VSCROLL, c.scrollToTop ? SB_TOP : SB_BOTTOM, 0);
        int before = FirstVisibleLine();
        LogNumbered(next, 100);
        next += 100;
        ASSERT_TRUE(WaitForLastBody(Numbered(next - 1)));
        EXPECT_EQ(before + (c.follows ? 100 : 0), FirstVisibleLine());
    }
}

// Both filters act on every held line; the find filter once typing pauses.
TEST_F(LiveWindowTest, FiltersRebuildFromEveryHeldLine)
{
    Open();
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
    ASSERT_TRUE(WaitUntil([&] { return LineCount() == 9; }));

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
    EXPECT_TRUE(WaitUntil([&] { return LineCount() == 9; }));
    RunOnUiThread(run, [&] { RemoveWindowSubclass(view, CountSetText, 1); });
}

// The synthetic source at full speed: the window answers, the store holds
// the newest 50000 events in order.
TEST_F(LiveWindowTest, FloodKeepsTheWindowAnsweringAndTheNewestLines)
{
    Open();
    // A find text no synthetic message holds keeps Wine's slow rich edit
    // small while every tick still filters all new lines under the lock.
    TypeText(window, IDC_LIVE_FIND, L"no synthetic message says this");
    ASSERT_TRUE(WaitUntil([&] { return wcscmp(liveState.findText, L"no synthetic message says this") == 0; }));
    ASSERT_TRUE(StartSyntheticTraffic(0));
    int unanswered = 0;
    for (DWORD start = GetTickCount(); GetTickCount() - start < 2000;) {
        DWORD_PTR result;
        unanswered += !SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, UI_WAIT_MS, &result);
    }
    StopSyntheticTraffic();
    EXPECT_EQ(0, unanswered) << "sent messages answered while flooded";
    ASSERT_EQ(0u, EtwEmuEventsLost(LIVE_SESSION_NAME));
    ASSERT_TRUE(EtwEmuWaitDelivered(LIVE_SESSION_NAME, LIVE_BIG_WAIT_MS));

    ULONG64 logged = SyntheticEventsLogged();
    ASSERT_GT(logged, (ULONG64)LIVE_SLOT_COUNT);
    SyntheticEvent first, last;     // the newest 50000, from the first held to the last
    DescribeSyntheticEvent(logged - LIVE_SLOT_COUNT, &first);
    DescribeSyntheticEvent(logged - 1, &last);
    EnterCriticalSection(&liveState.storeLock);
    EXPECT_EQ(LIVE_SLOT_COUNT, liveState.heldCount);
    EXPECT_STREQ(first.text, liveState.slots[(logged + 1 - LIVE_SLOT_COUNT) % LIVE_SLOT_COUNT].text);
    EXPECT_STREQ(last.text, liveState.slots[logged % LIVE_SLOT_COUNT].text);
    LeaveCriticalSection(&liveState.storeLock);
    EXPECT_TRUE(WaitForStatus(0, L" Captured: " + std::to_wstring(logged + 1))) << "with \"Monitoring started.\"";
    Close();
    EXPECT_EQ(nullptr, liveState.consumerThread) << "the consumer ended within the wait";
}

}  // namespace
