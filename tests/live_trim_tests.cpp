// The view of the Live Tracing window cut back from 62500 lines to 50000.
// Alone in its executable: Wine's rich edit deletes text in time that grows
// with the square of the lines, so this one test takes minutes there.
#include "tests/live_window_fixture.h"

namespace {

TEST_F(LiveWindowTest, SelectionSurvivesTheTrimmingOfTheView)
{
    Open();
    // Paused while the lines arrive, so that each batch is one render.
    Press(IDC_LIVE_PAUSE);
    LogNumbered(0, 40000);
    Press(IDC_LIVE_PAUSE);
    ASSERT_EQ(Numbered(39999), LastBody());
    // The user selects from inside line 35001 ("event 35000") to inside the next.
    LONG start = RichEditLineStart(view, 35001) + (LONG)kBodyColumn;
    CHARRANGE selection = {start + 2, start + 70};
    SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&selection);
    WCHAR before[128] = {};
    SendMessageW(view, EM_GETSELTEXT, 0, (LPARAM)before);
    ASSERT_EQ(0u, std::wstring(before).find(L"ent 35000\r"));

    Press(IDC_LIVE_PAUSE);
    // Just past the cap: 62501 lines as the control counts them, with the
    // empty one that follows the last line break.
    LogNumbered(40000, 22499);
    Press(IDC_LIVE_PAUSE);
    ASSERT_EQ(Numbered(62498), LastBody());
    EXPECT_EQ(50000, (int)SendMessageW(view, EM_GETLINECOUNT, 0, 0)) << "cut back to 50000";
    EXPECT_EQ(Numbered(12500), BodyOf(LineText(0)));
    WCHAR after[128] = {};
    SendMessageW(view, EM_GETSELTEXT, 0, (LPARAM)after);
    EXPECT_STREQ(before, after);
}

}  // namespace
