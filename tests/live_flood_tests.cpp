// The synthetic source at full speed into an open Live Tracing window.
#include "tests/live_window_fixture.h"

#include "etw_emulation/synthetic_traffic.h"

namespace {

const DWORD kFloodMs = 3000;

TEST_F(LiveWindowTest, FloodKeepsTheWindowAnsweringAndTheNewestLines)
{
    Open();
    // Wine's rich edit deletes text in quadratic time, so a view trimmed
    // from 62500 lines would keep the window busy for minutes there. A find
    // text that no synthetic message holds keeps the view small while every
    // tick still filters all new lines under the lock.
    TypeText(window, IDC_LIVE_FIND, L"no synthetic message says this");
    ASSERT_TRUE(WaitUntil([&] { return wcscmp(liveState.findText, L"no synthetic message says this") == 0; }));

    ASSERT_TRUE(StartSyntheticTraffic(0));
    int unanswered = 0;
    for (DWORD start = GetTickCount(); GetTickCount() - start < kFloodMs;) {
        DWORD_PTR result;
        if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, UI_WAIT_MS, &result))
            ++unanswered;
        Status(0);
    }
    StopSyntheticTraffic();
    EXPECT_EQ(0, unanswered) << "sent messages answered while flooded";
    ASSERT_EQ(0u, EtwEmuEventsLost(LIVE_SESSION_NAME));
    ASSERT_TRUE(EtwEmuWaitDelivered(LIVE_SESSION_NAME, LIVE_BIG_WAIT_MS));

    // Exactly the newest 50000 events, in order, after "Monitoring started.".
    ULONG64 logged = SyntheticEventsLogged();
    DWORD errors = 0;
    int mismatches = 0;
    EnterCriticalSection(&liveState.storeLock);
    ULONG64 total = liveState.totalCount;
    DWORD held = liveState.heldCount;
    DWORD storedErrors = liveState.errorCount;
    for (ULONG64 i = logged - LIVE_SLOT_COUNT; i < logged; ++i) {
        SyntheticEvent event;
        DescribeSyntheticEvent(i, &event);
        const LiveLine& line = liveState.slots[(i + 1) % LIVE_SLOT_COUNT];
        errors += event.level == 1 || event.level == 2;
        if (line.text == nullptr || wcscmp(line.text, event.text) != 0 || line.level != event.level ||
            line.processId != event.processId || line.threadId != event.threadId)
            ++mismatches;
    }
    LeaveCriticalSection(&liveState.storeLock);
    EXPECT_EQ(logged + 1, total);
    EXPECT_EQ(LIVE_SLOT_COUNT, held);
    EXPECT_EQ(0, mismatches);
    EXPECT_EQ(errors, storedErrors);

    EXPECT_TRUE(WaitForStatus(0, L" Captured: " + std::to_wstring(total)));
    EXPECT_EQ(L" Errors: " + std::to_wstring(errors), Status(1));
    std::wstring running = Status(2);
    EXPECT_TRUE(running == L" Running" || running.find(L" Running - ") == 0) << running;

    Close(UI_WAIT_MS + LIVE_CONSUMER_WAIT_MS);
    EXPECT_EQ(nullptr, liveState.consumerThread) << "the consumer ended within the wait";
}

}  // namespace
