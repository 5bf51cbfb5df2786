// Opening and closing the Live Tracing window, what fails on the way, its layout.
#include "tests/live_window_fixture.h"

#include <stdlib.h>

#include "live/live_consumer.h"
#include "test_support/import_patch.h"

namespace {

// A second opening, refused with a box of `icon` saying `text`: it ends once the box is closed.
void ExpectOpeningRefused(const WCHAR* text, UINT icon)
{
    UiDialogRun* refused = StartModalDialog(IDD_LIVE, LiveDlgProc, 5);
    MessageBoxSeen box;
    ASSERT_TRUE(WaitForMessageBox(&box));
    EXPECT_EQ(L"Live Tracing", box.caption);
    EXPECT_EQ(text, box.text);
    EXPECT_EQ(icon, box.icon);
    EXPECT_TRUE(PressMessageBoxButton(box, IDOK));
    EXPECT_EQ(0, FinishUiThread(refused, UI_WAIT_MS + LIVE_CONSUMER_WAIT_MS));
}

TEST_F(LiveWindowTest, OpensReadyToWatchAndClosesLeavingNothing)
{
    Open(5);
    HWND combo = GetDlgItem(window, IDC_LIVE_LEVEL);
    std::wstring items;     // each with its level
    for (int i = 0; i < SendMessageW(combo, CB_GETCOUNT, 0, 0); ++i) {
        WCHAR text[32] = L"";
        SendMessageW(combo, CB_GETLBTEXT, i, (LPARAM)text);
        items += text + (L" " + std::to_wstring(SendMessageW(combo, CB_GETITEMDATA, i, 0))) + L"|";
    }
    EXPECT_EQ(L"Critical 1|Error 2|Warning 3|Information 4|Verbose 5|", items);
    EXPECT_EQ(L"Verbose", ItemText(window, IDC_LIVE_LEVEL));
    EXPECT_EQ(L"&Pause", ItemText(window, IDC_LIVE_PAUSE));
    EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(window, IDC_LIVE_AUTOSCROLL));
    EXPECT_EQ(127, SendDlgItemMessageW(window, IDC_LIVE_FIND, EM_GETLIMITTEXT, 0, 0));
    EXPECT_NE(0, SendMessageW(window, WM_GETICON, ICON_SMALL, 0));
    EXPECT_NE(0, SendMessageW(window, WM_GETICON, ICON_BIG, 0));
    EXPECT_EQ(view, FocusOf(window));

    EXPECT_EQ(L"  ***  ", Lines()[0].substr(12, 7)) << "a status line";
    EXPECT_EQ(L" Captured: 1", Status(0));
    EXPECT_EQ(L" Errors: 0", Status(1));
    EXPECT_EQ(L" Running", Status(2));
    EXPECT_EQ(3, SendMessageW(statusBar, SB_GETPARTS, 0, 0));

    EtwEmuProvider providers[PROVIDER_COUNT] = {};
    ASSERT_EQ((size_t)PROVIDER_COUNT, EtwEmuEnabledProviders(LIVE_SESSION_NAME, providers, PROVIDER_COUNT));
    EXPECT_EQ(5u, providers[0].level);

    // A second window is refused; the first keeps running.
    ExpectOpeningRefused(L"A live tracing window is already running.", MB_ICONINFORMATION);
    std::wstring wide(400, L'w');
    Log(4, wide.c_str());
    EXPECT_TRUE(WaitForLastBody(wide)) << "still watching";
    SCROLLBARINFO bar = {};
    bar.cbSize = sizeof(bar);
    bar.rgstate[0] = STATE_SYSTEM_INVISIBLE; // a sentinel the call must overwrite
    ASSERT_TRUE(GetScrollBarInfo(view, OBJID_HSCROLL, &bar));
    EXPECT_EQ(0u, bar.rgstate[0] & (STATE_SYSTEM_INVISIBLE | STATE_SYSTEM_UNAVAILABLE)) << "a long line scrolls sideways";

    HANDLE consumer = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), liveState.consumerThread, GetCurrentProcess(),
                                &consumer, SYNCHRONIZE, FALSE, 0));
    Close();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(consumer, 0)) << "ended before the window closed";
    CloseHandle(consumer);
    EXPECT_FALSE(EtwEmuSessionRunning(LIVE_SESSION_NAME));
    EXPECT_EQ(nullptr, liveState.consumerThread);
    EXPECT_EQ(nullptr, liveState.slots);
    EXPECT_FALSE(liveState.storeLockReady);
    EXPECT_EQ(nullptr, liveState.window);
    EXPECT_EQ(nullptr, liveState.statusBar);
    EXPECT_EQ(nullptr, liveState.viewFont);
}

ImportPatch* threadPatch = nullptr;
HANDLE WINAPI NoConsumerThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                               LPVOID parameter, DWORD flags, LPDWORD id)
{
    if (start != ConsumerThreadProc)
        return threadPatch->original<decltype(&CreateThread)>()(security, stack, start, parameter, flags, id);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

TEST_F(LiveWindowTest, TraceOrConsumerThatCannotStartLeavesStatusLines)
{
    EtwEmuFailCall(kEmuStartTrace, 1, ERROR_ACCESS_DENIED);
    Open(1, false);
    ASSERT_TRUE(WaitUntil([&] { return LineCount() == 2; }));
    EXPECT_EQ(L"Critical", ItemText(window, IDC_LIVE_LEVEL)) << "the level the window was created with";
    WCHAR description[256] = L"";
    ASSERT_NE(0u, FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 ERROR_ACCESS_DENIED, 0, description, 256, nullptr));
    // The system's text ends with a line break, which the line leaves out.
    std::wstring shown = description;
    shown.erase(shown.find_last_not_of(L"\r\n") + 1);
    std::vector<std::wstring> bodies = Bodies();
    EXPECT_EQ(L"Unable to start the trace (0x00000005 - " + shown + L")", bodies[0]);
    EXPECT_EQ(L"Note : it is recommended to try again to see if the error persists.", bodies[1]);
    EXPECT_EQ(L"***", Lines()[1].substr(14, 3));
    EXPECT_EQ(L" Running", Status(2));
    EXPECT_EQ(L" Captured: 2", Status(0));
    EXPECT_EQ(nullptr, liveState.consumerThread);

    Press(IDC_LIVE_CLEAR);
    EXPECT_EQ(0, LineCount()) << "commands still work";
    Close();

    ImportPatch patch("kernel32.dll", "CreateThread", (void*)NoConsumerThread);
    threadPatch = &patch;
    Open(0x103, false);     // the low byte only
    EXPECT_TRUE(WaitForLastBody(L"Unable to start the consumer thread (0x00000008)."));
    EXPECT_EQ(L"Warning", ItemText(window, IDC_LIVE_LEVEL));
    EXPECT_EQ(3, liveState.levelFilter);
    EXPECT_EQ(nullptr, liveState.consumerThread);
    EXPECT_TRUE(EtwEmuSessionRunning(LIVE_SESSION_NAME)) << "stopped when the window closes";
    Close();
    EXPECT_FALSE(EtwEmuSessionRunning(LIVE_SESSION_NAME));
}

// The window's wait for its consumer, made to give up at once while armed.
bool consumerWaitTimesOut = false;
ImportPatch* waitPatch = nullptr;
DWORD WINAPI WaitGivingUp(HANDLE handle, DWORD milliseconds)
{
    if (consumerWaitTimesOut && handle == liveState.consumerThread && milliseconds == LIVE_CONSUMER_WAIT_MS)
        return WAIT_TIMEOUT;
    return waitPatch->original<decltype(&WaitForSingleObject)>()(handle, milliseconds);
}

TEST_F(LiveWindowTest, ConsumerOutlivingTheWaitRefusesOneOpening)
{
    ImportPatch patch("kernel32.dll", "WaitForSingleObject", (void*)WaitGivingUp);
    ASSERT_TRUE(patch.active());
    waitPatch = &patch;
    Open();
    consumerWaitTimesOut = true;
    Close();
    consumerWaitTimesOut = false;
    EXPECT_NE(nullptr, liveState.consumerThread) << "kept while it may still run";
    EXPECT_TRUE(liveState.storeLockReady) << "a late consumer may still enter the lock";
    EXPECT_EQ(nullptr, liveState.slots);

    ExpectOpeningRefused(L"A live tracing window is already running.", MB_ICONINFORMATION);
    EXPECT_EQ(nullptr, liveState.consumerThread) << "the refused opening waited for it";
    EXPECT_FALSE(liveState.storeLockReady);

    Open(6);
    EXPECT_TRUE(EtwEmuSessionRunning(LIVE_SESSION_NAME));
    EXPECT_EQ(L"Verbose", ItemText(window, IDC_LIVE_LEVEL)) << "beyond Verbose";
    Close();
    waitPatch = nullptr;
}

ImportPatch* callocPatch = nullptr;
void* __cdecl CallocWithoutSlots(size_t count, size_t size)
{
    if (count == LIVE_SLOT_COUNT)
        return nullptr;
    return callocPatch->original<decltype(&calloc)>()(count, size);
}

TEST_F(LiveWindowTest, NoMemoryForTheStoreClosesTheWindow)
{
    ImportPatch patch("msvcrt.dll", "calloc", (void*)CallocWithoutSlots);
    ASSERT_TRUE(patch.active());
    callocPatch = &patch;
    ExpectOpeningRefused(L"Not enough memory to start the live tracing.", MB_ICONERROR);
    callocPatch = nullptr;
    EXPECT_FALSE(EtwEmuSessionRunning(LIVE_SESSION_NAME));
    EtwEmuCall call;
    for (size_t i = 0; EtwEmuGetCall(i, &call); ++i)
        EXPECT_NE(kEmuStartTrace, call.function) << "nothing was started";
    EXPECT_FALSE(liveState.storeLockReady);
    EXPECT_EQ(nullptr, liveState.window);
}

TEST_F(LiveWindowTest, LayoutFollowsTheWindowSize)
{
    Open();
    const int kManaged[] = {IDC_LIVE_PAUSE, IDC_LIVE_CLEAR, IDC_LIVE_COPY, IDC_LIVE_SAVE, IDC_LIVE_LEVEL_LABEL,
                            IDC_LIVE_LEVEL, IDC_LIVE_FIND_LABEL, IDC_LIVE_FIND, IDC_LIVE_AUTOSCROLL, IDC_LIVE_VIEW};
    auto rects = [&] {
        std::vector<RECT> all;
        for (int id : kManaged)
            all.push_back(ChildRect(window, id));
        return all;
    };
    RECT opened;
    GetWindowRect(window, &opened);
    auto resize = [&](int dx, int dy) {
        RunOnUiThread(run, [&] { SetWindowPos(window, nullptr, 0, 0, opened.right - opened.left + dx,
                                              opened.bottom - opened.top + dy, SWP_NOMOVE | SWP_NOZORDER); });
    };
    std::vector<RECT> before = rects();
    int rightMargin = ClientSize(window).cx - before.back().right;
    {
        ImportPatch patch("user32.dll", "DeferWindowPos", (void*)+[](HDWP, HWND, HWND, int, int, int, int, UINT) {
            return (HDWP) nullptr;
        });
        resize(50, 40);
        EXPECT_EQ(0, memcmp(before.data(), rects().data(), before.size() * sizeof(RECT))) << "a failed deferral";
    }
    resize(100, 80);
    std::vector<RECT> after = rects();
    for (size_t i = 0; i < after.size(); ++i) {
        int id = kManaged[i];
        RECT want = before[i];
        OffsetRect(&want, id == IDC_LIVE_AUTOSCROLL ? 100 : 0, 0);
        want.right += id == IDC_LIVE_FIND || id == IDC_LIVE_VIEW ? 100 : 0;
        want.bottom += id == IDC_LIVE_VIEW ? 80 : 0;
        EXPECT_TRUE(EqualRect(&want, &after[i])) << "control " << id;
    }
    RECT bar;
    GetWindowRect(statusBar, &bar);
    MapWindowPoints(HWND_DESKTOP, window, (POINT*)&bar, 2);
    EXPECT_EQ(after.back().bottom + after.back().left, bar.top) << "the gap is the view's left margin";
    EXPECT_EQ(ClientSize(window).cy, bar.bottom);

    RunOnUiThread(run, [&] { ShowWindow(window, SW_MINIMIZE); ShowWindow(window, SW_RESTORE); });
    EXPECT_EQ(0, memcmp(after.data(), rects().data(), after.size() * sizeof(RECT))) << "minimise, restore";
    resize(-10000, -10000);
    RECT smallest;
    GetWindowRect(window, &smallest);
    EXPECT_EQ(opened.right - opened.left, smallest.right - smallest.left);
    EXPECT_EQ((opened.bottom - opened.top) / 2, smallest.bottom - smallest.top);
    RunOnUiThread(run, [&] { ShowWindow(window, SW_MAXIMIZE); });
    EXPECT_GE(ClientSize(window).cx, GetSystemMetrics(SM_CXSCREEN) - 16) << "maximised";
    EXPECT_EQ(rightMargin, ClientSize(window).cx - ChildRect(window, IDC_LIVE_VIEW).right);
}

}  // namespace
