// The commands of the Live Tracing window: Clear, Copy and Save..., with
// what they leave on the screen, on the clipboard and on disk.
#include "tests/live_window_fixture.h"

#include <stdlib.h>

#include "live/line_store.h"
#include "test_support/import_patch.h"
#include "test_support/temp_dir.h"

namespace {

std::wstring ClipboardText()
{
    std::wstring text = L"<no text>";
    if (!WaitUntil([] { return OpenClipboard(nullptr) != FALSE; }))
        return L"<clipboard busy>";
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        text = (const WCHAR*)GlobalLock(data);
        GlobalUnlock(data);
    }
    CloseClipboard();
    return text;
}

void SetClipboardSentinel()
{
    ASSERT_TRUE(WaitUntil([] { return OpenClipboard(nullptr) != FALSE; }));
    EmptyClipboard();
    HGLOBAL data = GlobalAlloc(GMEM_MOVEABLE, sizeof(L"sentinel"));
    memcpy(GlobalLock(data), L"sentinel", sizeof(L"sentinel"));
    GlobalUnlock(data);
    SetClipboardData(CF_UNICODETEXT, data);
    CloseClipboard();
}

// UTF-16LE bytes of a text file as Save writes it.
std::string SavedBytes(const std::vector<std::wstring>& lines)
{
    std::wstring text = L"\xFEFF";
    for (const std::wstring& line : lines)
        text += line + L"\r\n";
    return std::string((const char*)text.data(), text.size() * sizeof(WCHAR));
}

TEST_F(LiveWindowTest, ClearEmptiesTheViewAndKeepsTheCapturedCount)
{
    Open();
    Log(2, L"Pin::Verify(7) : wrong PIN");
    Log(4, L"Reader::Open(42) : card inserted");
    ASSERT_TRUE(WaitForStatus(1, L" Errors: 1"));
    Press(IDC_LIVE_CLEAR);
    EXPECT_EQ(0, LineCount());
    EXPECT_EQ(L" Captured: 3", Status(0));
    EXPECT_EQ(L" Errors: 0", Status(1));
    EXPECT_EQ(L" Running", Status(2));

    Log(4, L"Reader::Close(43) : card removed");
    ASSERT_TRUE(WaitUntil([&] { return LineCount() == 1; }));
    EXPECT_EQ(Shown(L"TIME  INF    4242:77      Reader::Close(43)           card removed"), Lines()[0]);
    EXPECT_TRUE(WaitForStatus(0, L" Captured: 4"));

    TempDir directory;
    std::wstring path = directory / L"cleared.txt";
    Press(IDC_LIVE_CLEAR);
    ClickButton(window, IDC_LIVE_SAVE);
    ASSERT_TRUE(AnswerSaveDialog(window, path.c_str()));
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(path) == "\xFF\xFE"; })) << "only the byte order mark";
}

// Appends one line at the moment the GUI thread first lets storeLock go
// while armed: a consumer's line arriving in the middle of Clear.
bool appendOnRelease = false;
ImportPatch* leavePatch = nullptr;
void WINAPI LeaveThenAppend(LPCRITICAL_SECTION section)
{
    leavePatch->original<decltype(&LeaveCriticalSection)>()(section);
    if (!appendOnRelease || section != &liveState.storeLock ||
        section->OwningThread == (HANDLE)(ULONG_PTR)GetCurrentThreadId())
        return;
    appendOnRelease = false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    AppendLiveLine(&now, 4242, 77, 4, 0, _wcsdup(L"arrived during Clear"));
}

TEST_F(LiveWindowTest, LineArrivingDuringClearIsShown)
{
    ImportPatch patch("kernel32.dll", "LeaveCriticalSection", (void*)LeaveThenAppend);
    ASSERT_TRUE(patch.active());
    leavePatch = &patch;
    Open();
    Log(4, L"before Clear");
    ASSERT_TRUE(WaitForLastBody(L"before Clear"));
    RunOnUiThread(run, [&] {
        appendOnRelease = true;
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_LIVE_CLEAR, BN_CLICKED), 0);
        appendOnRelease = false;
    });
    EXPECT_TRUE(WaitForLastBody(L"arrived during Clear"));
    EXPECT_EQ(1, LineCount());
    EXPECT_TRUE(WaitForStatus(0, L" Captured: 3"));
    Close();
    leavePatch = nullptr;
}

TEST_F(LiveWindowTest, CopyTakesTheSelectionOrElseEveryShownLine)
{
    Open();
    LogNumbered(0, 100);
    Log(1, L"Logon::Fail(9) : no certificate");
    ASSERT_TRUE(WaitUntil([&] { return LineCount() == 102; }));
    std::wstring all;
    for (const std::wstring& line : Lines())
        all += line + L"\r\n";

    CHARRANGE caret = {5, 5};
    SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&caret);
    ScrollToLine(40);
    ASSERT_EQ(40, FirstVisibleLine());
    SetClipboardSentinel();
    Press(IDC_LIVE_COPY);
    EXPECT_EQ(all, ClipboardText());
    CHARRANGE after = {-1, -1};
    SendMessageW(view, EM_EXGETSEL, 0, (LPARAM)&after);
    EXPECT_EQ(5, after.cpMin) << "the selection is put back";
    EXPECT_EQ(5, after.cpMax);
    EXPECT_EQ(40, FirstVisibleLine()) << "the view stays where it was";

    LONG start = RichEditLineStart(view, 101) + (LONG)kBodyColumn;
    CHARRANGE body = {start, start + 14};
    SendMessageW(view, EM_EXSETSEL, 0, (LPARAM)&body);
    SetClipboardSentinel();
    Press(IDC_LIVE_COPY);
    EXPECT_EQ(L"no certificate", ClipboardText());
}

TEST_F(LiveWindowTest, SaveWritesEveryVisibleHeldLineRenderedOrNot)
{
    Open();
    Log(4, L"Reader::Open(42) : card\r\ninserted");
    Log(5, L"verbose detail");
    Log(2, L"Pin::Verify(7) : wrong PIN", 99, 1);
    ChooseComboItem(window, IDC_LIVE_LEVEL, 3);
    ASSERT_TRUE(WaitUntil([&] { return LineCount() == 3; }));
    std::wstring started = Lines()[0];
    Press(IDC_LIVE_PAUSE);
    Log(3, L"removed while paused", 7, 8);

    TempDir directory;
    std::wstring path = directory / L"live.txt";
    ClickButton(window, IDC_LIVE_SAVE);
    ASSERT_TRUE(AnswerSaveDialog(window, path.c_str()));
    std::string expected = SavedBytes({
        started,
        Shown(L"TIME  INF    4242:77      Reader::Open(42)            card  inserted"),
        Shown(L"TIME  ERR      99:1       Pin::Verify(7)              wrong PIN"),
        Shown(L"TIME  WRN       7:8                                   removed while paused"),
    });
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(path) == expected; }));
    EXPECT_EQ(3, LineCount()) << "saving does not render";
}

TEST_F(LiveWindowTest, SaveAsksBeforeReplacingAFile)
{
    TempDir directory;
    std::wstring path = directory / L"existing.txt";
    ASSERT_TRUE(WriteFileBytes(path, "old"));
    Open();
    for (int answer : {IDNO, IDYES}) {
        SCOPED_TRACE(answer == IDNO ? "No" : "Yes");
        ClickButton(window, IDC_LIVE_SAVE);
        ASSERT_TRUE(AnswerSaveDialog(window, path.c_str()));
        MessageBoxSeen box;
        ASSERT_TRUE(WaitForMessageBox(&box));
        EXPECT_NE(std::wstring::npos, box.text.find(L"already exists")) << box.text;
        EXPECT_TRUE(PressMessageBoxButton(box, answer));
        if (answer == IDNO) {
            EXPECT_TRUE(CancelSaveDialog(window));
            RunOnUiThread(run, [] {});
            EXPECT_EQ("old", ReadFileBytes(path));
        }
    }
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(path).compare(0, 2, "\xFF\xFE") == 0; }));
}

TEST_F(LiveWindowTest, SaveReportsAFileItCannotCreate)
{
    TempDir directory;
    std::wstring path = directory / L"locked.txt";
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    Open();
    ClickButton(window, IDC_LIVE_SAVE);
    ASSERT_TRUE(AnswerSaveDialog(window, path.c_str()));
    MessageBoxSeen box;
    ASSERT_TRUE(WaitForMessageBox(&box));
    if (box.text.find(L"already exists") != std::wstring::npos) {
        EXPECT_TRUE(PressMessageBoxButton(box, IDYES));
        ASSERT_TRUE(WaitForMessageBox(&box, window));
    }
    EXPECT_EQ(L"Live Tracing", box.caption);
    EXPECT_EQ(L"Unable to create the file (0x00000020)", box.text);
    EXPECT_EQ((UINT)MB_ICONERROR, box.icon);
    EXPECT_TRUE(PressMessageBoxButton(box, IDOK));
    CloseHandle(holder);
}

// A full disk: every write to a file fails.
BOOL WINAPI WriteToFullDisk(HANDLE file, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    if (written != nullptr)
        *written = 0;
    SetLastError(GetFileType(file) == FILE_TYPE_DISK ? ERROR_DISK_FULL : ERROR_INVALID_HANDLE);
    return FALSE;
}

TEST_F(LiveWindowTest, SaveReportsAFailedWriteAfterClosingTheFile)
{
    TempDir directory;
    std::wstring path = directory / L"full.txt";
    Open();
    ImportPatch patch("kernel32.dll", "WriteFile", (void*)WriteToFullDisk);
    ASSERT_TRUE(patch.active());
    ClickButton(window, IDC_LIVE_SAVE);
    ASSERT_TRUE(AnswerSaveDialog(window, path.c_str()));
    MessageBoxSeen box;
    ASSERT_TRUE(WaitForMessageBox(&box, window));
    EXPECT_EQ(L"Live Tracing", box.caption);
    EXPECT_EQ(L"Unable to write the file (0x00000070)", box.text);
    EXPECT_EQ((UINT)MB_ICONERROR, box.icon);
    HANDLE exclusive = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, exclusive) << "closed before the message";
    CloseHandle(exclusive);
    EXPECT_TRUE(PressMessageBoxButton(box, IDOK));
}

}  // namespace
