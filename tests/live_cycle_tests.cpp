// The Live Tracing window opened and closed from the main dialog a hundred
// times with traffic flowing: closed during a flood, while paused, right after
// a dismissed Save dialog. Handles, GDI and USER objects and heap blocks come
// back to where the first cycle left them, and the main dialog still works.
#include <gtest/gtest.h>
#include <windows.h>
#include <winternl.h>

#include "app/main_dialog.h"
#include "etw_emulation/etw_emulation.h"
#include "etw_emulation/synthetic_traffic.h"
#include "live/live_state.h"
#include "res/resource.h"
#include "test_support/heap_blocks.h"
#include "test_support/registry.h"
#include "test_support/ui_driver.h"

namespace {

struct Resources {
    DWORD handles, gdi, user;
    size_t heapBlocks;
};

// Wine answers 0 to GetProcessHandleCount and GetGuiResources. There the
// system's handle list, Wine's GDI handle table (an entry's type byte at
// offset 14) and the windows of the process stand in. Fonts, brushes, pens
// and palettes are counted: device contexts with their regions and surfaces
// (Wine's DC cache) and bitmaps (the Save dialog's icons) are cached at
// Wine's own pace.
DWORD SystemHandleCount()
{
    struct Entry { PVOID object; ULONG_PTR pid, handle; ULONG access; USHORT creator, type; ULONG attributes, reserved; };
    static ULONG_PTR buffer[1 << 20];
    auto query = (LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG))GetProcAddress(GetModuleHandleW(L"ntdll.dll"),
                                                                           "NtQuerySystemInformation");
    ULONG length = 0;
    if (query(64 /* SystemExtendedHandleInformation */, buffer, sizeof(buffer), &length) != 0)
        return 0;
    const Entry* entries = (const Entry*)(buffer + 2);
    DWORD count = 0;
    for (ULONG_PTR i = 0; i < buffer[0]; ++i)
        count += entries[i].pid == GetCurrentProcessId();
    return count;
}

DWORD WineGdiObjects()
{
    PROCESS_BASIC_INFORMATION process = {};
    auto query = (LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG))GetProcAddress(
        GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess");
    query(GetCurrentProcess(), 0 /* ProcessBasicInformation */, &process, sizeof(process), nullptr);
    // The PEB's GdiSharedHandleTable.
    const BYTE* table = process.PebBaseAddress ? *(const BYTE* const*)((const BYTE*)process.PebBaseAddress + 0xF8)
                                               : nullptr;
    DWORD count = 0;
    for (int i = 0; table != nullptr && i < 0x10000; ++i)
        count += table[24 * i + 14] >= 8 && table[24 * i + 14] != 9;
    return count;
}

DWORD WindowsOfThisProcess()
{
    DWORD count = 0;
    auto add = [](HWND window, LPARAM count) -> BOOL {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        *(DWORD*)count += pid == GetCurrentProcessId();
        return TRUE;
    };
    EnumWindows(add, (LPARAM)&count);
    EnumWindows([](HWND window, LPARAM count) -> BOOL {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == GetCurrentProcessId())
            EnumChildWindows(window, [](HWND, LPARAM count) -> BOOL { ++*(DWORD*)count; return TRUE; }, count);
        return TRUE;
    }, (LPARAM)&count);
    return count;
}

// Counted with no traffic and no window open: nothing else allocates meanwhile.
Resources Count()
{
    Resources now = {0, GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS),
                     GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS), CrtHeapBlocks()};
    GetProcessHandleCount(GetCurrentProcess(), &now.handles);
    now.handles = now.handles != 0 ? now.handles : SystemHandleCount();
    now.gdi = now.gdi != 0 ? now.gdi : WineGdiObjects();
    now.user = now.user != 0 ? now.user : WindowsOfThisProcess();
    return now;
}

TEST(LiveCycleTest, HundredOpeningsLeaveNothingBehind)
{
    PersistentTracingCleanup cleanup;
    EtwEmuReset();
    UiDialogRun* run = StartModalDialog(IDD_MAIN, MainDlgProc, 0);
    HWND dialog = WaitForWindow(L"#32770", L"Quorvel Tracing");
    ASSERT_NE(nullptr, dialog);
    Resources first = {};
    for (int cycle = 0; cycle < 100 && !testing::Test::HasFailure(); ++cycle) {
        SCOPED_TRACE(testing::Message() << "cycle " << cycle);
        ASSERT_TRUE(StartSyntheticTraffic(2000));
        ClickButton(dialog, IDC_LIVE_TRACING);
        HWND live = WaitForWindow(L"#32770", L"Live Tracing", dialog);
        ASSERT_NE(nullptr, live);
        // The first cycle meets every case, so that first uses are behind.
        int kind = cycle == 0 ? -1 : cycle % 10;
        if (kind < 0 || kind == 3)
            SendMessageW(GetDlgItem(live, IDC_LIVE_PAUSE), BM_CLICK, 0, 0);
        // Twice at first: Wine's Save dialog fills its icon cache at its
        // second showing.
        for (int i = 0; i < (kind < 0 ? 2 : kind == 5); ++i) {
            ClickButton(live, IDC_LIVE_SAVE);
            ASSERT_TRUE(CancelSaveDialog(live));
        }
        if (kind < 0 || kind == 7) {
            StopSyntheticTraffic();
            ASSERT_TRUE(StartSyntheticTraffic(0));
            ASSERT_TRUE(WaitUntil([] { return SyntheticEventsLogged() > 20000; }));
        }
        ASSERT_TRUE(WaitUntil([&] { return liveState.totalCount > 0; }));
        CloseWithCloseBox(live);
        ASSERT_TRUE(WaitForWindowGone(live, UI_WAIT_MS + 5000));
        StopSyntheticTraffic();
        ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(dialog) != FALSE; }));
        RunOnUiThread(run, [] {});
        if (cycle == 0)
            first = Count();
    }
    Resources last = Count();
    EXPECT_EQ(first.handles, last.handles);
    EXPECT_EQ(first.gdi, last.gdi);
    EXPECT_EQ(first.user, last.user);
    EXPECT_EQ(first.heapBlocks, last.heapBlocks);
    printf("after the first cycle: %lu handles, %lu GDI, %lu USER, %zu heap blocks; after the last: "
           "%lu, %lu, %lu, %zu\n", first.handles, first.gdi, first.user, first.heapBlocks, last.handles,
           last.gdi, last.user, last.heapBlocks);

    std::wstring before = ItemText(dialog, IDC_ADVANCED);
    ClickButton(dialog, IDC_ADVANCED);
    EXPECT_TRUE(WaitUntil([&] { return ItemText(dialog, IDC_ADVANCED) != before; })) << "still answering";
    CloseWithCloseBox(dialog);
    EXPECT_EQ(0, FinishUiThread(run));
}

}  // namespace
