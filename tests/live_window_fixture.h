// The Live Tracing window on a UI thread of its own, fed through the ETW
// emulation, read back through its view and status bar.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include <string>
#include <vector>

#include "etw_emulation/etw_emulation.h"
#include "live/live_state.h"
#include "live/live_window.h"
#include "res/resource.h"
#include "test_support/theme_setting.h"
#include "test_support/ui_driver.h"
#include "tracing/trace_session.h"

#define LIVE_BIG_WAIT_MS 60000

// Columns before the message body for ids of up to 6 digits.
const size_t kBodyColumn = 62;

// Counts rebuilds: a rebuild empties the view with WM_SETTEXT.
inline LRESULT CALLBACK CountSetText(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                     DWORD_PTR count)
{
    if (message == WM_SETTEXT)
        ++*(int*)count;
    return DefSubclassProc(window, message, wParam, lParam);
}

class LiveWindowTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(nullptr, LoadLibraryW(L"riched20.dll"));
        EtwEmuReset();
        theme.SetDark(false);
        ASSERT_EQ(nullptr, liveState.window);
        ASSERT_EQ(nullptr, liveState.consumerThread);
    }

    void TearDown() override
    {
        Close();
        EtwEmuReset();
    }

    // Opens the window with `level`; with `started`, waits for the
    // consumer's first line.
    void Open(LPARAM level = 5, bool started = true)
    {
        run = StartModalDialog(IDD_LIVE, LiveDlgProc, level);
        window = WaitForWindow(L"#32770", L"Live Tracing");
        ASSERT_NE(nullptr, window);
        view = GetDlgItem(window, IDC_LIVE_VIEW);
        statusBar = FindWindowExW(window, nullptr, STATUSCLASSNAMEW, nullptr);
        if (started) {
            ASSERT_TRUE(WaitForLastBody(L"Monitoring started."));
            ASSERT_EQ(1, LineCount());
        }
    }

    // Closes the window with its close box; a message box or Save dialog
    // that a failed test left open is closed too, so that the next test
    // starts with no window.
    void Close(DWORD timeoutMs = UI_WAIT_MS + LIVE_CONSUMER_WAIT_MS)
    {
        if (run == nullptr)
            return;
        if (IsWindow(window))
            CloseWithCloseBox(window);
        for (int round = 0; round < 20 && WaitForSingleObject(run->thread, 500) == WAIT_TIMEOUT; ++round) {
            EnumThreadWindows(run->threadId, [](HWND left, LPARAM) -> BOOL {
                if (IsWindowVisible(left))
                    PostMessageW(left, WM_CLOSE, 0, 0);
                return TRUE;
            }, 0);
        }
        EXPECT_EQ(0, FinishUiThread(run, timeoutMs));
        run = nullptr;
    }

    // Logs an event of the first provider at 2024-05-01 09:05:03.007 UTC
    // and, with `wait`, waits until the consumer has stored it.
    void Log(UCHAR level, const WCHAR* text, ULONG processId = 4242, ULONG threadId = 77, bool wait = true)
    {
        EtwEmuLogEvent(&providerTable[0], level, processId, threadId, 133590279030070000ll, text,
                       (ULONG)(wcslen(text) + 1) * sizeof(WCHAR));
        ASSERT_TRUE(!wait || EtwEmuWaitDelivered(LIVE_SESSION_NAME, LIVE_BIG_WAIT_MS));
    }
    // Logs "event <first>" .. "event <first + count - 1>" at level 4.
    void LogNumbered(DWORD first, DWORD count)
    {
        for (DWORD i = first; i < first + count; ++i)
            Log(4, Numbered(i).c_str(), 4242, 77, i + 1 == first + count);
    }
    static std::wstring Numbered(DWORD i) { return L"event " + std::to_wstring(i); }

    // A display line with "TIME" standing for the event time in local time:
    // the tests run in Europe/Berlin, where 1 May is summer time (UTC+2).
    static std::wstring Shown(const WCHAR* pattern)
    {
        std::wstring line(pattern);
        return line.replace(line.find(L"TIME"), 4, L"11:05:03.007");
    }
    static std::wstring BodyOf(const std::wstring& line)
    {
        return line.size() > kBodyColumn ? line.substr(kBodyColumn) : L"";
    }

    // The view's lines, and what follows the prefix columns.
    std::vector<std::wstring> Lines() { return RichEditLines(view); }
    std::vector<std::wstring> Bodies()
    {
        std::vector<std::wstring> bodies;
        for (const std::wstring& line : Lines())
            bodies.push_back(BodyOf(line));
        return bodies;
    }
    int LineCount() { return (int)Lines().size(); }
    std::wstring LineText(int line) { return line < LineCount() ? Lines()[line] : L""; }
    std::wstring LastBody() { return LineCount() > 0 ? BodyOf(Lines().back()) : L""; }
    bool WaitForLastBody(const std::wstring& body) { return WaitUntil([&] { return LastBody() == body; }); }
    LONG LineStart(int line) { return (LONG)SendMessageW(view, EM_LINEINDEX, line, 0); }
    int FirstVisibleLine() { return (int)SendMessageW(view, EM_GETFIRSTVISIBLELINE, 0, 0); }
    // Scrolls the view so that `line` is the first one on screen. Not
    // EM_LINESCROLL: Wine's counts lines of the default font's height.
    void ScrollToLine(int line)
    {
        POINTL top = {}, wanted = {};
        SendMessageW(view, EM_POSFROMCHAR, (WPARAM)&top, 0);
        SendMessageW(view, EM_POSFROMCHAR, (WPARAM)&wanted, LineStart(line));
        POINT point = {0, wanted.y - top.y};
        SendMessageW(view, EM_SETSCROLLPOS, 0, (LPARAM)&point);
    }
    std::wstring Status(int part)
    {
        WCHAR text[256] = L"";
        SendMessageW(statusBar, SB_GETTEXTW, part, (LPARAM)text);
        return text;
    }
    bool WaitForStatus(int part, const std::wstring& text)
    {
        return WaitUntil([&] { return Status(part) == text; });
    }
    // Clicks a button that opens no modal box and returns once the window
    // has handled the click (a sent BM_CLICK).
    void Press(int id) { SendMessageW(GetDlgItem(window, id), BM_CLICK, 0, 0); }

    ThemeSetting theme;
    UiDialogRun* run = nullptr;
    HWND window = nullptr;
    HWND view = nullptr;
    HWND statusBar = nullptr;
};
