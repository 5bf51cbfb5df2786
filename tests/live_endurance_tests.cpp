// Random payloads end to end (QV_SEED=n replays a printed seed), and a
// hundred openings and closings of the Live Tracing window that leak nothing.
#include "tests/live_window_fixture.h"

#include <stdlib.h>

#include <memory>
#include <set>
#include <tuple>

#include "app/main_dialog.h"
#include "etw_emulation/synthetic_traffic.h"
#include "test_support/heap_blocks.h"
#include "test_support/import_patch.h"
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

// The display line of an event logged below as the view and Save show it, formatted here: 2024-01-01 00:00:00 UTC
// is 01:00:00.000 in Berlin; the origin is a name of letters, digits and _:<>~ with a line number, before " : ",
// at most 26 characters, else its part after the last "::" if that fits, else cut.
std::wstring Displayed(UCHAR level, const std::wstring& text)
{
    const WCHAR* kTags[] = {L"***", L"CRI", L"ERR", L"WRN", L"INF", L"VRB"};
    size_t open = text.find_first_not_of(L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_:<>~");
    size_t close = open == std::wstring::npos ? open : text.find_first_not_of(L"0123456789", open + 1);
    std::wstring origin, body = text;
    if (open != 0 && close != std::wstring::npos && close > open + 1 && text[open] == L'('
        && text.compare(close, 4, L") : ") == 0) {
        origin = text.substr(0, close + 1);
        size_t pair = origin.rfind(L"::");
        if (origin.size() > 26 && pair != std::wstring::npos && origin.size() - pair - 2 <= 26)
            origin = origin.substr(pair + 2);
        body = text.substr(close + 4);
    }
    origin.resize(26, L' ');
    return L"01:00:00.000  " + std::wstring(kTags[level]) + L"    4242:77      " + origin + L"  " + body;
}

TEST_F(LiveWindowTest, RandomPayloadsReachStoreViewAndFileIntact)
{
    const char* replay = getenv("QV_SEED");
    ULONG64 seed = replay ? _strtoui64(replay, nullptr, 10) : GetTickCount64();
    printf("seed %llu (replay with QV_SEED=%llu)\n", seed, seed);
    Open();
    Press(IDC_LIVE_PAUSE);
    std::vector<std::wstring> kept = {L"Monitoring started."}, shown, saved;
    for (int i = 0; i < 200; ++i) {
        Payload payload = RandomPayload(&seed);
        EtwEmuLogEvent(&providerTable[i % 6], payload.level, 4242, 77, 133485408000000000ll,
                       payload.bytes.data(), (ULONG)payload.bytes.size());
        std::wstring text = Kept(payload.bytes);
        if (text.empty() || payload.level > 5)
            continue;
        kept.push_back(text);
        // In the view CR and LF are blanks and other controls but TAB left out; Save writes CR and LF as blanks.
        std::wstring display = Displayed(payload.level, text), view;
        for (WCHAR& c : display) {
            c = c == L'\r' || c == L'\n' ? L' ' : c;
            view += c >= 32 || c == L'\t' ? std::wstring(1, c) : L"";
        }
        shown.push_back(view);
        saved.push_back(display);
    }
    ASSERT_TRUE(EtwEmuWaitDelivered(L"QuorvelLive", LIVE_BIG_WAIT_MS));
    std::vector<std::wstring> stored;
    RunOnUiThread(run, [&] {
        EnterCriticalSection(&liveState.storeLock);
        for (ULONG64 s = liveState.totalCount - liveState.heldCount; s < liveState.totalCount; ++s)
            stored.push_back(liveState.slots[s % 50000].text);
        LeaveCriticalSection(&liveState.storeLock);
    });
    EXPECT_EQ(kept, stored);
    Press(IDC_LIVE_PAUSE);
    std::vector<std::wstring> lines = Lines(); // after the window's own first line
    ASSERT_EQ(shown.size() + 1, lines.size());
    EXPECT_EQ(L"Monitoring started.", BodyOf(lines[0]));
    for (size_t i = 0; i < shown.size(); ++i)
        EXPECT_EQ(shown[i], lines[i + 1]) << "line " << i;

    TempDir directory;
    std::wstring path = directory / L"random.txt";
    ClickButton(window, IDC_LIVE_SAVE);
    ASSERT_TRUE(AnswerSaveDialog(window, path.c_str()));
    std::wstring file = L"\xFEFF" + lines[0] + L"\r\n"; // the first line's time and ids are the window's own
    for (const std::wstring& line : saved)
        file += line + L"\r\n";
    std::string bytes((const char*)file.data(), file.size() * sizeof(WCHAR));
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(path) == bytes; }));
}

// Wine answers 0 to GetGuiResources: the GDI objects the program made and did not delete are counted instead.
std::set<HGDIOBJ> gdiMade;
void* gdiReal[9];

template <int I, typename F> struct Counted;
template <int I, typename R, typename... A> struct Counted<I, R(WINAPI*)(A...)> {
    static R WINAPI Made(A... arguments)
    {
        R made = ((R(WINAPI*)(A...))gdiReal[I])(arguments...);
        if (made != nullptr)
            gdiMade.insert(made);
        return made;
    }
    static R WINAPI Deleted(A... arguments)
    {
        gdiMade.erase(std::get<0>(std::make_tuple(arguments...)));
        return ((R(WINAPI*)(A...))gdiReal[I])(arguments...);
    }
};
#define MADE(i, dll, f) {dll, #f, (void*)Counted<i, decltype(&f)>::Made}
#define DELETED(i, f) {"gdi32.dll", #f, (void*)Counted<i, decltype(&f)>::Deleted}

struct Resources { DWORD handles, gdi, user; size_t heapBlocks; };

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

// Counted on the UI thread with no traffic and no live window open: nothing else allocates meanwhile.
Resources Count()
{
    return {ProcessHandleCount(), (DWORD)gdiMade.size(), WindowsOfThisProcess(), CrtHeapBlocks()};
}

TEST(LiveCycleTest, HundredOpeningsLeaveNothingBehind)
{
    PersistentTracingCleanup cleanup;
    EtwEmuReset();
    const struct { const char* dll; const char* name; void* hook; } kHooks[] = {MADE(0, "gdi32.dll", CreateFontW),
        MADE(1, "gdi32.dll", CreateFontIndirectW), MADE(2, "gdi32.dll", CreateSolidBrush),
        MADE(3, "gdi32.dll", CreatePen), MADE(4, "gdi32.dll", CreateCompatibleDC),
        MADE(5, "gdi32.dll", CreateCompatibleBitmap), MADE(6, "user32.dll", LoadBitmapW), DELETED(7, DeleteObject),
        DELETED(8, DeleteDC)};
    std::vector<std::unique_ptr<ImportPatch>> hooks;
    for (const auto& hook : kHooks) {
        hooks.emplace_back(new ImportPatch(hook.dll, hook.name, hook.hook));
        ASSERT_TRUE(hooks.back()->active()) << hook.name;
        gdiReal[&hook - kHooks] = hooks.back()->original<void*>();
    }
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
        if (cycle == 0)
            RunOnUiThread(run, [&] { first = Count(); });
    }
    Resources last = {};
    RunOnUiThread(run, [&] { last = Count(); });
    // The dialog holds its fonts and bitmap, and windows, handles and heap blocks of its own.
    ASSERT_TRUE(first.handles > 0 && first.gdi >= 3 && first.user > 0 && first.heapBlocks > 0);
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
