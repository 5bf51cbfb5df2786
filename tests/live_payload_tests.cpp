// Random payloads end to end: through the emulated session into the open
// Live Tracing window, read back from the store, the view and a saved file.
// The seed is printed; QV_SEED=n replays one.
#include "tests/live_window_fixture.h"

#include <stdlib.h>

#include "live/line_format.h"
#include "test_support/temp_dir.h"

namespace {

struct Payload {
    UCHAR level;
    std::string bytes;
};

// Payloads of 0 to 64 KB made of pieces that upset a text path: every
// control character, RTF's own characters, lone and paired surrogates,
// embedded NULs, line breaks at the end; odd lengths and no terminator.
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
        text += next(4) == 0 ? std::wstring(1, (WCHAR)(1 + next(31))) : kPieces[next(sizeof(kPieces) / sizeof(kPieces[0]))];
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

// What the consumer keeps of a payload: the units before the first NUL
// without trailing line breaks.
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
    RecordProperty("seed", std::to_string(seed));
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
    size_t units = 0;
    for (const std::wstring& text : kept)
        units += text.size();
    printf("%zu lines, %zu units held\n", kept.size(), units);
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

}  // namespace
