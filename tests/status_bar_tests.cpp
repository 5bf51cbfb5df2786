// The three status bar texts and parts, read back from a real status bar.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <stdlib.h>

#include <string>

#include "live/line_store.h"
#include "live/status_bar.h"
#include "tests/live_test_support.h"

namespace {

class StatusBarTest : public testing::Test {
protected:
    void SetUp() override
    {
        parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1000, 300, nullptr, nullptr,
                                 nullptr, nullptr);
        bar = CreateWindowExW(0, STATUSCLASSNAMEW, nullptr, WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP,
                              0, 0, 0, 0, parent, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, bar);
        int parts[3] = {100, 200, -1};
        SendMessageW(bar, SB_SETPARTS, 3, (LPARAM)parts);
        for (int part = 0; part < 3; ++part)
            SendMessageW(bar, SB_SETTEXTW, part, (LPARAM)L"sentinel");
        liveState.consumerThread = nullptr;
        ASSERT_TRUE(CreateLineStore());
        liveState.statusBar = bar;
        liveState.paused = FALSE;
        liveState.showOnlyPid = 0;
        liveState.hiddenPidCount = 0;
        liveState.nextToRender = 0;
        liveState.lostBeforeRender = 0;
    }

    void TearDown() override
    {
        liveState.statusBar = nullptr;
        liveState.showOnlyPid = 0;
        liveState.hiddenPidCount = 0;
        liveState.paused = FALSE;
        DestroyLineStore();
        DestroyWindow(parent);
    }

    void AddLines(DWORD count, BYTE level)
    {
        FILETIME time = {};
        for (DWORD i = 0; i < count; ++i)
            AppendLiveLine(&time, 10, 20, level, 0, _wcsdup(L"line"));
    }

    std::wstring Text(int part) { return StatusBarText(bar, part); }

    HWND parent = nullptr;
    HWND bar = nullptr;
};

TEST_F(StatusBarTest, FirstTextNamesTheProcessFilter)
{
    AddLines(500, 4);
    const struct {
        DWORD showOnly;
        DWORD hidden[8];
        DWORD hiddenCount;
        const WCHAR* expected;
    } cases[] = {
        {0, {}, 0, L" Captured: 500"},
        {1234, {10, 20}, 2, L" Captured: 500  -  showing only PID 1234"},
        {0, {10, 20}, 2, L" Captured: 500  -  hiding PID 10, 20"},
        {0, {4294967295u, 1, 2, 3, 4, 5, 6, 4000000000u}, 8,
         L" Captured: 500  -  hiding PID 4294967295, 1, 2, 3, 4, 5, 6, 4000000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "expected \"" << c.expected << "\"");
        liveState.showOnlyPid = c.showOnly;
        memcpy(liveState.hiddenPids, c.hidden, sizeof(c.hidden));
        liveState.hiddenPidCount = c.hiddenCount;
        UpdateStatusBar();
        EXPECT_EQ(c.expected, Text(0));
    }
}

TEST_F(StatusBarTest, CountsAndRunStates)
{
    AddLines(3, 1);
    AddLines(2, 2);
    AddLines(4, 3);
    AddStatusLine(L"Monitoring started.");
    const struct {
        const char* name;
        BOOL paused;
        ULONG64 nextToRender;
        ULONG64 lost;
        const WCHAR* third;
    } cases[] = {
        {"running", FALSE, 10, 0, L" Running"},
        {"paused, 7 waiting", TRUE, 3, 0, L" PAUSED - 7 line(s) pending"},
        {"paused beats lost", TRUE, 0, 10000, L" PAUSED - 10 line(s) pending"},
        {"paused, cursor ahead", TRUE, 12, 0, L" PAUSED - 0 line(s) pending"},
        {"lost", FALSE, 10, 10000, L" Running - 10000 line(s) lost (buffer full)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        liveState.paused = c.paused;
        liveState.nextToRender = c.nextToRender;
        liveState.lostBeforeRender = c.lost;
        UpdateStatusBar();
        EXPECT_EQ(L" Captured: 10", Text(0));
        EXPECT_EQ(L" Errors: 5", Text(1)) << "levels 1 and 2, no status line";
        EXPECT_EQ(c.third, Text(2));
    }
}

TEST_F(StatusBarTest, NothingWithoutAStatusBar)
{
    liveState.statusBar = nullptr;
    UpdateStatusBar();
    EXPECT_EQ(L"sentinel", Text(0));
    EXPECT_EQ(L"sentinel", Text(2));
}

TEST_F(StatusBarTest, PartsFollowTheWidth)
{
    const struct {
        int width;
        int edges[3];
    } cases[] = {
        {1000, {680, 790, -1}},
        {500, {180, 290, -1}},
        {380, {80, 170, -1}},
        {200, {80, 140, -1}},
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
        EXPECT_EQ(c.edges[0], edges[0]);
        EXPECT_EQ(c.edges[1], edges[1]);
        EXPECT_EQ(c.edges[2], edges[2]);
        EXPECT_EQ(-7, edges[3]);
    }
}

}  // namespace

