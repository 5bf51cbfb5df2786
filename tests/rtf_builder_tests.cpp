// RTF documents of the live view, read back through a real rich-edit control:
// escaping, colours and bold per level, the theme's colour table, the empty
// document and allocation failures.
#include <gtest/gtest.h>
#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "live/line_store.h"
#include "live/rtf_builder.h"
#include "test_support/import_patch.h"
#include "tests/live_test_support.h"

namespace {

// The prefix of a line with ids of up to 6 digits: time, tag, ids, origin.
const size_t kPrefixUnits = 62;

class RtfBuilderTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(nullptr, LoadLibraryW(L"riched20.dll"));
        edit = CreateWindowExW(0, L"RichEdit20W", L"", WS_POPUP | ES_MULTILINE, 0, 0, 800, 600,
                               nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, edit);
        liveState.consumerThread = nullptr;
        wcscpy(liveState.fontFace, L"Courier New");
        liveState.levelFilter = 5;
        liveState.findText[0] = L'\0';
        liveState.showOnlyPid = 0;
        liveState.hiddenPidCount = 0;
        ASSERT_TRUE(CreateLineStore());
        theme.SetDark(false);
    }

    void TearDown() override
    {
        DestroyLineStore();
        DestroyWindow(edit);
    }

    void AddLine(BYTE level, DWORD isStatus, const WCHAR* text)
    {
        FILETIME time = {0x2F3A4000, 0x01DA9F00};
        AppendLiveLine(&time, 4242, 77, level, isStatus, _wcsdup(text));
    }

    // Header, every held line, "}".
    std::string BuildDocument(DWORD* lines = nullptr)
    {
        RtfBuffer buffer = {};
        RtfAppendHeader(&buffer);
        EnterCriticalSection(&liveState.storeLock);
        DWORD count = RtfAppendLines(&buffer, liveState.totalCount - liveState.heldCount,
                                     liveState.totalCount);
        LeaveCriticalSection(&liveState.storeLock);
        RtfAppend(&buffer, "}");
        EXPECT_FALSE(buffer.failed);
        std::string document(buffer.data != nullptr ? buffer.data : "", buffer.length);
        RtfBufferFree(&buffer);
        if (lines != nullptr)
            *lines = count;
        return document;
    }

    void Show(const std::string& document)
    {
        RtfStreamCookie cookie = {document.data(), (UINT32)document.size(), 0};
        EDITSTREAM stream = {(DWORD_PTR)&cookie, 0, RtfStreamCallback};
        SendMessageW(edit, EM_STREAMIN, SF_RTF, (LPARAM)&stream);
        EXPECT_EQ(0u, stream.dwError);
    }

    HWND edit = nullptr;
    ThemeSetting theme;
};

TEST_F(RtfBuilderTest, MessagesRenderLiterallyOnOneLine)
{
    const struct {
        const WCHAR* message;
        const WCHAR* shown;
        const char* bytes;     // must appear in the document
    } cases[] = {
        {L"{braces} and \\back\\slash", L"{braces} and \\back\\slash", "\\{braces\\} and \\\\back\\\\slash"},
        {L"a\tb", L"a\tb", "a\\tab b"},
        {L"one\rtwo\nthree\r\nfour", L"one two three  four", "one two three  four"},
        {L"caf\u00e9", L"caf\u00e9", "caf\\u233?"},
        {L"\x01\x1f" L"bell", L"bell", " bell\\par"},
        {L"smile \U0001F600", L"smile \U0001F600", "smile \\u-10179?\\u-8704?"},
        {L"max \xFFFF", nullptr, "max \\u-1?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "message \"" << c.message << "\"");
        ClearLineStore();
        AddLine(4, 0, c.message);
        DWORD lines = 0;
        std::string document = BuildDocument(&lines);
        EXPECT_EQ(1u, lines);
        EXPECT_NE(std::string::npos, document.find(c.bytes)) << document;
        if (c.shown == nullptr)
            continue;
        Show(document);
        std::vector<std::wstring> view = RichEditLines(edit);
        ASSERT_EQ(1u, view.size());
        std::wstring expected(c.shown);
        ASSERT_EQ(kPrefixUnits + expected.size(), view[0].size()) << view[0] << "\n" << document;
        EXPECT_EQ(expected, view[0].substr(kPrefixUnits));
    }
}

TEST_F(RtfBuilderTest, ColoursAndBoldPerLevelInBothThemes)
{
    const struct {
        BYTE level;
        DWORD isStatus;
        COLORREF light, dark;
        bool bold;
    } cases[] = {
        {0, 0, RGB(0, 0, 0), RGB(232, 232, 232), false},
        {1, 0, RGB(192, 0, 0), RGB(255, 96, 96), true},
        {2, 0, RGB(192, 0, 0), RGB(255, 96, 96), false},
        {3, 0, RGB(176, 80, 0), RGB(255, 170, 60), false},
        {4, 0, RGB(0, 0, 0), RGB(232, 232, 232), false},
        {5, 0, RGB(128, 128, 128), RGB(150, 150, 150), false},
        {0, 1, RGB(0, 0, 192), RGB(110, 150, 255), false},
        {1, 1, RGB(0, 0, 192), RGB(110, 150, 255), false},
        {3, 1, RGB(0, 0, 192), RGB(110, 150, 255), false},
    };
    for (const auto& c : cases)
        AddLine(c.level, c.isStatus, L"Reader::Open(42) : card inserted");
    for (bool dark : {false, true}) {
        theme.SetDark(dark);
        std::string document = BuildDocument();
        Show(document);
        ASSERT_EQ(sizeof(cases) / sizeof(cases[0]), RichEditLines(edit).size());
        for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
            const auto& c = cases[i];
            SCOPED_TRACE(testing::Message() << (dark ? "dark" : "light") << ", level "
                                            << (int)c.level << ", status " << c.isStatus);
            for (LONG column : {0L, 20L, (LONG)kPrefixUnits + 3}) {
                CHARFORMAT2W format = RichEditFormatAt(edit, RichEditLineStart(edit, (int)i) + column);
                EXPECT_EQ(dark ? c.dark : c.light, format.crTextColor) << "column " << column;
                EXPECT_EQ(c.bold, (format.dwEffects & CFE_BOLD) != 0) << "column " << column;
                EXPECT_STREQ(L"Courier New", format.szFaceName);
                EXPECT_EQ(180, format.yHeight) << "9 points";
            }
        }
    }
}

TEST_F(RtfBuilderTest, ThemeChangesOnlyTheColourTable)
{
    AddLine(2, 0, L"Pin::Verify(7) : wrong PIN");
    AddLine(0, 1, L"Monitoring started.");
    std::string light = BuildDocument();
    theme.SetDark(true);
    std::string dark = BuildDocument();
    auto withoutColours = [](std::string document) {
        size_t start = document.find("{\\colortbl;");
        size_t end = document.find('}', start);
        return start == std::string::npos ? document : document.erase(start, end + 1 - start);
    };
    EXPECT_NE(light, dark);
    EXPECT_EQ(withoutColours(light), withoutColours(dark));
}

TEST_F(RtfBuilderTest, NoVisibleLineMakesAnEmptyDocument)
{
    SetWindowTextW(edit, L"old text");
    AddLine(5, 0, L"verbose only");
    liveState.levelFilter = 4;
    DWORD lines = 99;
    std::string document = BuildDocument(&lines);
    EXPECT_EQ(0u, lines);
    EXPECT_EQ(0u, document.find("{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fmodern\\fcharset0 Courier New;}}"));
    EXPECT_EQ(document.size() - 13, document.find("\\f0\\fs18\\b0 }")) << document;
    Show(document);
    EXPECT_TRUE(RichEditLines(edit).empty());
}

void* __cdecl FailingRealloc(void*, size_t)
{
    return nullptr;
}

TEST_F(RtfBuilderTest, AllocationFailureRefusesEveryLaterAppend)
{
    RtfBuffer buffer = {};
    RtfAppend(&buffer, "{\\rtf1 kept");
    ASSERT_FALSE(buffer.failed);
    ASSERT_EQ(RTF_FIRST_CAPACITY, buffer.capacity);
    std::string big(RTF_FIRST_CAPACITY, 'x');
    {
        ImportPatch patch("msvcrt.dll", "realloc", (void*)FailingRealloc);
        ASSERT_TRUE(patch.active());
        RtfAppend(&buffer, big.c_str());
    }
    EXPECT_TRUE(buffer.failed);
    EXPECT_STREQ("{\\rtf1 kept", buffer.data) << "the old data stays with the buffer";
    RtfAppend(&buffer, "x");
    RtfAppendEscaped(&buffer, L"y");
    EXPECT_EQ(11u, buffer.length);
    EXPECT_FALSE(RtfBufferReserve(&buffer, 1));
    RtfBufferFree(&buffer);

    // A need beyond the 32-bit length is refused, not wrapped around.
    RtfAppend(&buffer, "abc");
    EXPECT_FALSE(RtfBufferReserve(&buffer, 0xFFFFFFFFu));
    EXPECT_TRUE(buffer.failed);
    EXPECT_EQ(3u, buffer.length);
    RtfBufferFree(&buffer);
}

}  // namespace
