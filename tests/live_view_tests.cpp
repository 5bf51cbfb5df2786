// What the view of the Live Tracing window shows while events arrive:
// display format and colours, pause and resume, lines lost while paused,
// scroll position and the two filters.
#include "tests/live_window_fixture.h"

#include "live/live_view.h"

namespace {

TEST_F(LiveWindowTest, LinesAppearInOrderWithTheDisplayFormat)
{
    Open();
    Log(4, L"Reader::Open(42) : card inserted");
    Log(1, L"Long::Namespace::Name::Here::Method(1234) : x", 4, 4);
    Log(3, L"plain message without origin", 123456, 654321);
    Log(2, L"Pin::Verify(7) : tab\there {1}", 99, 1);
    ASSERT_TRUE(WaitUntil([&] { return LineCount() == 5; }));
    const struct {
        const WCHAR* line;
        COLORREF colour;
        bool bold;
    } expected[] = {
        {L"TIME  INF    4242:77      Reader::Open(42)            card inserted", RGB(0, 0, 0), false},
        {L"TIME  CRI       4:4       Method(1234)                x", RGB(192, 0, 0), true},
        {L"TIME  WRN  123456:654321                              plain message without origin", RGB(176, 80, 0), false},
        {L"TIME  ERR      99:1       Pin::Verify(7)              tab\there {1}", RGB(192, 0, 0), false},
    };
    std::vector<std::wstring> lines = Lines();
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(testing::Message() << "line " << i + 1);
        EXPECT_EQ(Shown(expected[i].line), lines[i + 1]);
        for (LONG column : {0L, (LONG)kBodyColumn}) {
            CHARFORMAT2W format = RichEditFormatAt(view, RichEditLineStart(view, i + 1) + column);
            EXPECT_EQ(expected[i].colour, format.crTextColor) << "column " << column;
            EXPECT_EQ(expected[i].bold, (format.dwEffects & CFE_BOLD) != 0) << "column " << column;
        }
    }
    EXPECT_EQ(RGB(0, 0, 192), RichEditFormatAt(view, 2).crTextColor) << "status line";
    EXPECT_TRUE(WaitForStatus(0, L" Captured: 5"));
    EXPECT_EQ(L" Errors: 2", Status(1));
}

TEST_F(LiveWindowTest, PauseHoldsNewLinesUntilResume)
{
    Open();
    Press(IDC_LIVE_PAUSE);
    EXPECT_EQ(L"&Resume", ItemText(window, IDC_LIVE_PAUSE));
    EXPECT_EQ(L" PAUSED - 0 line(s) pending", Status(2));
    LogNumbered(0, 30);
    // The status bar is rewritten by the refresh tick, which would also have
    // rendered the lines.
    ASSERT_TRUE(WaitForStatus(2, L" PAUSED - 30 line(s) pending"));
    EXPECT_EQ(1, LineCount());
    EXPECT_EQ(L" Captured: 31", Status(0));

    Press(IDC_LIVE_PAUSE);
    EXPECT_EQ(L"&Pause", ItemText(window, IDC_LIVE_PAUSE));
    EXPECT_EQ(31, LineCount()) << "rendered at once on resume";
    EXPECT_EQ(Numbered(29), LastBody());
    EXPECT_EQ(L" Running", Status(2));
}

TEST_F(LiveWindowTest, MoreThanTheStoreHoldsWhilePausedIsCountedAsLost)
{
    Open();
    Press(IDC_LIVE_PAUSE);
    LogNumbered(0, 60000);
    ASSERT_TRUE(WaitForStatus(2, L" PAUSED - 60000 line(s) pending"));
    Press(IDC_LIVE_PAUSE);
    EXPECT_EQ(L" Running - 10000 line(s) lost (buffer full)", Status(2));
    EXPECT_EQ(1 + 50000, LineCount());
    EXPECT_EQ(Numbered(10000), BodyOf(LineText(1))) << "the oldest still held";
    EXPECT_EQ(Numbered(59999), LastBody());
    Log(4, L"after");
    ASSERT_TRUE(WaitForLastBody(L"after"));
    EXPECT_EQ(L" Running - 10000 line(s) lost (buffer full)", Status(2)) << "until Clear";
    Press(IDC_LIVE_PAUSE);
    EXPECT_EQ(L" PAUSED - 0 line(s) pending", Status(2)) << "the pause is told first";
}

// A rebuild while paused (a filter change) must not lose the count of lines
// that dropped out of the store unseen.
TEST_F(LiveWindowTest, RebuildWhilePausedKeepsTheLostCount)
{
    Open();
    Press(IDC_LIVE_PAUSE);
    LogNumbered(0, 60000);
    TypeText(window, IDC_LIVE_FIND, L"event 5999");
    std::vector<std::wstring> found;    // "Monitoring started." dropped out too
    for (int i = 59990; i < 60000; ++i)
        found.push_back(Numbered(i));
    ASSERT_TRUE(WaitUntil([&] { return Bodies() == found; }));
    Press(IDC_LIVE_PAUSE);
    EXPECT_EQ(L" Running - 10000 line(s) lost (buffer full)", Status(2));
}

// The view cut back past its cap (a small one here; the window passes 62500
// and 50000): the newest lines stay, and so do the lines on screen and the
// selection.
TEST_F(LiveWindowTest, TrimmedViewKeepsWhatTheUserLooksAt)
{
    Open(5, false);
    ASSERT_TRUE(WaitForLastBody(L"Monitoring started."));
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

    LONG start = RichEditLineStart(view, 90) + 2;
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
    const struct {
        const char* name;
        bool autoScroll;
        bool scrollToTop;
        bool follows;
    } cases[] = {
        {"auto-scroll, scrolled up", true, true, false},
        {"auto-scroll, at the bottom", true, false, true},
        {"no auto-scroll, at the bottom", false, false, false},
    };
    DWORD next = 300;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if ((IsDlgButtonChecked(window, IDC_LIVE_AUTOSCROLL) == BST_CHECKED) != c.autoScroll)
            Press(IDC_LIVE_AUTOSCROLL);
        SendMessageW(view, WM_VSCROLL, c.scrollToTop ? SB_TOP : SB_BOTTOM, 0);
        POINT before = {};
        SendMessageW(view, EM_GETSCROLLPOS, 0, (LPARAM)&before);
        LRESULT firstBefore = SendMessageW(view, EM_GETFIRSTVISIBLELINE, 0, 0);
        LogNumbered(next, 100);
        next += 100;
        ASSERT_TRUE(WaitForLastBody(Numbered(next - 1)));
        LRESULT first = SendMessageW(view, EM_GETFIRSTVISIBLELINE, 0, 0);
        if (c.follows) {
            EXPECT_EQ(firstBefore + 100, first);
        } else {
            POINT after = {};
            SendMessageW(view, EM_GETSCROLLPOS, 0, (LPARAM)&after);
            EXPECT_EQ(firstBefore, first);
            EXPECT_EQ(before.y, after.y);
        }
    }
}

TEST_F(LiveWindowTest, LevelFilterRebuildsFromEveryHeldLine)
{
    Open();
    for (UCHAR level : {0, 1, 2, 3, 4, 5})
        Log(level, (L"level " + std::to_wstring(level)).c_str());
    ASSERT_TRUE(WaitForLastBody(L"level 5"));
    const struct {
        int item;
        std::vector<std::wstring> bodies;
    } cases[] = {
        {2, {L"Monitoring started.", L"level 0", L"level 1", L"level 2", L"level 3"}},
        {0, {L"Monitoring started.", L"level 0", L"level 1"}},
        {4, {L"Monitoring started.", L"level 0", L"level 1", L"level 2", L"level 3", L"level 4", L"level 5"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "item " << c.item);
        ChooseComboItem(window, IDC_LIVE_LEVEL, c.item);
        EXPECT_TRUE(WaitUntil([&] { return Bodies() == c.bodies; }));
    }
}

TEST_F(LiveWindowTest, FindFilterAppliesOnceTypingPauses)
{
    Open();
    for (const WCHAR* text : {L"card inserted", L"Card removed", L"reader ERROR", L"other"})
        Log(4, text);
    ASSERT_TRUE(WaitForLastBody(L"other"));
    int rebuilds = 0;
    RunOnUiThread(run, [&] { SetWindowSubclass(view, CountSetText, 1, (DWORD_PTR)&rebuilds); });

    // Three keystrokes in a row, with no timer tick between them.
    RunOnUiThread(run, [&] {
        for (const WCHAR* typed : {L"c", L"ca", L"CAR"})
            TypeText(window, IDC_LIVE_FIND, typed);
    });
    std::vector<std::wstring> cards = {L"Monitoring started.", L"card inserted", L"Card removed"};
    EXPECT_TRUE(WaitUntil([&] { return Bodies() == cards; }));
    BOOL timerLeft = TRUE;
    RunOnUiThread(run, [&] { timerLeft = KillTimer(window, LIVE_FIND_TIMER); });
    EXPECT_FALSE(timerLeft) << "the find timer stops on its first tick";
    EXPECT_EQ(1, rebuilds);

    TypeText(window, IDC_LIVE_FIND, L"");
    EXPECT_TRUE(WaitUntil([&] { return LineCount() == 5; }));
    EXPECT_EQ(2, rebuilds);
    RunOnUiThread(run, [&] { RemoveWindowSubclass(view, CountSetText, 1); });
}

}  // namespace
