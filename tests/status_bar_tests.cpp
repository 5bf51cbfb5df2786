// The status bar's process-filter note and its parts, read back from a real
// status bar (the counts and run states are seen through the live window).
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
        SendMessageW(bar, SB_SETTEXTW, 0, (LPARAM)L"sentinel");
        liveState.consumerThread = nullptr;
        ASSERT_TRUE(CreateLineStore());
        liveState.statusBar = bar;
        liveState.showOnlyPid = 0;
        liveState.hiddenPidCount = 0;
    }

    void TearDown() override
    {
        liveState.statusBar = nullptr;
        liveState.showOnlyPid = 0;
        liveState.hiddenPidCount = 0;
        DestroyLineStore();
        DestroyWindow(parent);
    }

    void AddLines(DWORD count)
    {
        FILETIME time = {};
        for (DWORD i = 0; i < count; ++i)
            AppendLiveLine(&time, 10, 20, 4, 0, _wcsdup(L"line"));
    }

    std::wstring Text(int part) { return StatusBarText(bar, part); }

    HWND parent = nullptr;
    HWND bar = nullptr;
};

TEST_F(StatusBarTest, FirstTextNamesTheProcessFilter)
{
    liveState.statusBar = nullptr;
    UpdateStatusBar();
    EXPECT_EQ(L"sentinel", Text(0)) << "nothing without a status bar";
    liveState.statusBar = bar;
    AddLines(500);
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

TEST_F(StatusBarTest, LongFirstTextIsCutAt127)
{
    const DWORD hidden[8] = {4000000001u, 4000000002u, 4000000003u, 4000000004u, 4000000005u, 4000000006u,
                             4000000007u, 4000000008u};
    memcpy(liveState.hiddenPids, hidden, sizeof(hidden));
    liveState.hiddenPidCount = 8;
    EnterCriticalSection(&liveState.storeLock);
    liveState.totalCount = 18446744073709551615ull;
    LeaveCriticalSection(&liveState.storeLock);
    UpdateStatusBar();
    std::wstring full = L" Captured: 18446744073709551615  -  hiding PID 4000000001";
    for (int i = 2; i <= 8; ++i)
        full += L", 400000000" + std::to_wstring(i);
    EXPECT_EQ(full.substr(0, 127), Text(0));
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

