// Random payloads end to end (QV_SEED=n replays a printed seed), and a
// hundred openings and closings of the Live Tracing window that leak nothing.
#include "tests/live_window_fixture.h"

#include <stdlib.h>
#include <winternl.h>

#include "app/main_dialog.h"
#include "etw_emulation/synthetic_traffic.h"
#include "live/line_format.h"
#include "test_support/heap_blocks.h"
#include "test_support/registry.h"
#include "test_support/temp_dir.h"

namespace {

struct Payload { UCHAR level; std::string bytes; };

// 0 to 64 KB of controls, RTF's own characters, lone and paired surrogates,
// NULs and line breaks; odd lengths and no terminator.
Payload RandomPayload(ULONG64* seed)
{
    auto next = [seed](ULONG64 bound) {
        *seed = *seed * 6364136223846793005ull + 1442695040888963407ull;
        return (*seed >> 33) % bound;
    };
    static const std::wstring kPieces[] = {
        L"Reader::Open(42) : ", L"{", L"}", L"\\", L"\\par ", L"\t", L"\r\n", L"\xD83D\xDE00", L"\xD800",
        L"\xDC00", L"\xFFFF", L"\x00E9", L"x", L"plain words ",
    };
    std::wstring text;
    size_t units = (size_t)1 << next(16);
    while (text.size() < units)
        text += next(4) == 0 ? std::wstring(1, (WCHAR)(1 + next(31))) : kPieces[next(std::size(kPieces))];
    if (next(8) == 0)
        text.insert(next(text.size()), 1, L'\0');
    if (next(3) == 0)
        text += std::wstring(L"\r\n\0", 3);
    // Mostly levels the view shows; some of any value.
    Payload payload = {(UCHAR)(next(8) == 0 ? next(256) : next(6)),
                       std::string((const char*)text.data(), text.size() * sizeof(WCHAR))};
    payload.bytes.resize(std::min<size_t>(payload.bytes.size() - next(2), 65000));
    return payload;
}

// The units before the first NUL without trailing line breaks.
std::wstring Kept(const std::string& bytes)
{
    std::wstring text((const WCHAR*)bytes.data(), bytes.size() / 2);
    text.resize(wcsnlen(text.c_str(), text.size()));
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n'))
        text.pop_back();
    return text;
}

TEST_F(LiveWindowTest, RandomPayloadsReachStoreViewAndFileIntact)
{
    const char* replay = getenv("QV_SEED");
    ULONG64 seed = replay ? _strtoui64(replay, nullptr, 10) : GetTickCount64();
    printf("seed %llu (replay with QV_SEED=%llu)\n", seed, seed);
    Open();
    Press(IDC_LIVE_PAUSE);
    std::vector<std::wstring> kept = {L"Monitoring started."};
    for (int i = 0; i < 200; ++i) {
        Payload payload = RandomPayload(&seed);
        EtwEmuLogEvent(&providerTable[i % PROVIDER_COUNT], payload.level, 4242, 77, 133485408000000000ll,
                       payload.bytes.data(), (ULONG)payload.bytes.size());
        std::wstring text = Kept(payload.bytes);
        if (!text.empty() && payload.level <= 5)
            kept.push_back(text);
    }
    ASSERT_TRUE(EtwEmuWaitDelivered(LIVE_SESSION_NAME, LIVE_BIG_WAIT_MS));

    // The display lines as the view shows them (CR and LF blanks, other
    // controls but TAB left out) and as Save writes them (CR and LF blanks).
    std::vector<std::wstring> stored, shown;
    std::wstring saved = L"\xFEFF";
    RunOnUiThread(run, [&] {
        EnterCriticalSection(&liveState.storeLock);
        for (ULONG64 s = liveState.totalCount - liveState.heldCount; s < liveState.totalCount; ++s) {
            const LiveLine* line = &liveState.slots[s % LIVE_SLOT_COUNT];
            stored.push_back(line->text);
            if (!IsLineVisible(line))
                continue;
            WCHAR prefix[LINE_PREFIX_UNITS];
            const WCHAR* body;
            FormatLinePrefix(line, prefix, &body);
            std::wstring display = std::wstring(prefix) + body, view;
            for (WCHAR& c : display) {
                c = c == L'\r' || c == L'\n' ? L' ' : c;
                if (c >= 32 || c == L'\t')
                    view += c;
            }
            shown.push_back(view);
            saved += display + L"\r\n";
        }
        LeaveCriticalSection(&liveState.storeLock);
    });
    EXPECT_EQ(kept, stored);
    Press(IDC_LIVE_PAUSE);
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(shown.size(), lines.size());
    for (size_t i = 0; i < shown.size(); ++i)
        EXPECT_EQ(shown[i], lines[i]) << "line " << i;

    TempDir directory;
    std::wstring path = directory / L"random.txt";
    ClickButton(window, IDC_LIVE_SAVE);
    ASSERT_TRUE(AnswerSaveDialog(window, path.c_str()));
    std::string bytes((const char*)saved.data(), saved.size() * sizeof(WCHAR));
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(path) == bytes; }));
}

struct Resources { DWORD handles, gdi, user; size_t heapBlocks; };

// Wine answers 0 to GetProcessHandleCount and GetGuiResources: the system's
// handle list, the fonts, brushes, pens and palettes of Wine's GDI handle
// table (type byte at offset 14; DCs and bitmaps are cached at Wine's pace)
// and the process's windows stand in.
DWORD SystemHandleCount()
{
    struct Entry {
        PVOID object;
        ULONG_PTR pid, handle;
        ULONG access;
        USHORT creator, type;
        ULONG attributes, reserved;
    };
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
    EnumChildWindows(GetDesktopWindow(), [](HWND window, LPARAM count) -> BOOL {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        *(DWORD*)count += pid == GetCurrentProcessId();
        return TRUE;
    }, (LPARAM)&count);
    return count;
}

// Counted with no traffic and no window open: nothing else allocates meanwhile.
Resources Count()
{
    return {SystemHandleCount(), WineGdiObjects(), WindowsOfThisProcess(), CrtHeapBlocks()};
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
