// The main dialog as a user sees it: texts, the level choice, Enable and
// Disable with their error box and status, the Advanced panel, closing.
#include <gtest/gtest.h>

#include <string>

#include "app/main_dialog.h"
#include "etw_emulation/etw_emulation.h"
#include "res/resource.h"
#include "test_support/import_patch.h"
#include "test_support/registry.h"
#include "test_support/ui_driver.h"
#include "tracing/autologger.h"
#include "tracing/trace_session.h"

namespace {

const WCHAR kEnabledText[] = L"Status : enabled. Traces are being written to disk.";
const WCHAR kDisabledText[] = L"Status : disabled. Nothing is being written to disk.";

RECT DialogUnits(HWND dialog, int left, int top, int right, int bottom)
{
    RECT rect = {left, top, right, bottom};
    MapDialogRect(dialog, &rect);
    return rect;
}

class MainDialogTest : public testing::Test {
protected:
    void SetUp() override
    {
        run = StartModalDialog(IDD_MAIN, MainDlgProc, 0);
        dialog = WaitForWindow(L"#32770", L"Quorvel Tracing");
        ASSERT_NE(nullptr, dialog);
    }

    void TearDown() override
    {
        if (dialog != nullptr && IsWindow(dialog))
            CloseWithCloseBox(dialog);
        EXPECT_EQ(0, FinishUiThread(run));
    }

    bool Visible(int id) { return IsWindowVisible(GetDlgItem(dialog, id)) != FALSE; }
    bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }

    // Posted messages are handled in order: once the Advanced button has
    // toggled, everything posted before it was handled too.
    void ToggleAdvancedAndWait()
    {
        std::wstring before = ItemText(dialog, IDC_ADVANCED);
        ClickButton(dialog, IDC_ADVANCED);
        ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, IDC_ADVANCED) != before; }));
    }

    void ExpectCentredInWorkArea()
    {
        RECT work;
        ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
        RECT window;
        GetWindowRect(dialog, &window);
        int width = window.right - window.left;
        int height = window.bottom - window.top;
        EXPECT_EQ(work.left + (work.right - work.left - width) / 2, window.left);
        int y = work.top + (work.bottom - work.top - height) / 2;
        EXPECT_EQ(y < work.top ? work.top : y, window.top);
    }

    PersistentTracingCleanup cleanup;
    UiDialogRun* run = nullptr;
    HWND dialog = nullptr;
};

TEST_F(MainDialogTest, OpensFoldedWithInformationSelected)
{
    EXPECT_EQ(L"Live Tracing", ItemText(dialog, IDC_LIVE_TRACING));
    EXPECT_EQ(L"Advanced >>", ItemText(dialog, IDC_ADVANCED));
    EXPECT_TRUE(Visible(IDC_NOTICE));
    // The notice keeps to one line of its control, with room to spare.
    std::wstring notice = ItemText(dialog, IDC_NOTICE);
    EXPECT_EQ(0u, notice.find(L"Version 2.1.0.0  -  "));
    HWND noticeControl = GetDlgItem(dialog, IDC_NOTICE);
    HDC dc = GetDC(noticeControl);
    SelectObject(dc, (HGDIOBJ)SendMessageW(noticeControl, WM_GETFONT, 0, 0));  // reset by ReleaseDC
    SIZE extent = {};
    GetTextExtentPoint32W(dc, notice.c_str(), (int)notice.size(), &extent);
    ReleaseDC(noticeControl, dc);
    EXPECT_LE(extent.cx * 10, ClientSize(noticeControl).cx * 9) << extent.cx;

    HWND combo = GetDlgItem(dialog, IDC_LEVEL);
    const struct { const WCHAR* text; LRESULT level; } rows[] = {
        {L"Critical", 1}, {L"Error", 2}, {L"Warning", 3}, {L"Information", 4}, {L"Verbose", 5}};
    ASSERT_EQ(5, SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < 5; ++i) {
        WCHAR text[32] = {};
        SendMessageW(combo, CB_GETLBTEXT, i, (LPARAM)text);
        EXPECT_STREQ(rows[i].text, text);
        EXPECT_EQ(rows[i].level, SendMessageW(combo, CB_GETITEMDATA, i, 0));
    }
    EXPECT_EQ(3, SendMessageW(combo, CB_GETCURSEL, 0, 0));

    EXPECT_EQ(MAKELRESULT(IDC_LIVE_TRACING, DC_HASDEFID), SendMessageW(dialog, DM_GETDEFID, 0, 0));
    EXPECT_EQ(GetDlgItem(dialog, IDC_LIVE_TRACING), FocusOf(dialog));

    // Folded: the persistent tracing group is hidden and the client area ends
    // as far under the Advanced button as the button is from the left edge.
    for (int id : {IDC_ENABLE, IDC_DISABLE, IDC_SAVE_LOG, IDC_PERSISTENT_STATUS})
        EXPECT_FALSE(Visible(id)) << "control " << id;
    EXPECT_TRUE(Visible(IDC_LIVE_TRACING));
    RECT button = DialogUnits(dialog, 7, 140, 97, 156);
    EXPECT_EQ(button.bottom + button.left, ClientSize(dialog).cy);
    EXPECT_EQ(button.bottom + DialogUnits(dialog, 7, 0, 0, 0).left, ClientSize(dialog).cy);
    ExpectCentredInWorkArea();

    EXPECT_EQ(kDisabledText, ItemText(dialog, IDC_PERSISTENT_STATUS));
    EXPECT_TRUE(Enabled(IDC_ENABLE));
    EXPECT_FALSE(Enabled(IDC_DISABLE));
    EXPECT_TRUE(Enabled(IDC_SAVE_LOG));
}

TEST_F(MainDialogTest, AdvancedUnfoldsToTheTemplateAndRecentres)
{
    int folded = ClientSize(dialog).cy;
    ToggleAdvancedAndWait();
    EXPECT_EQ(L"Advanced <<", ItemText(dialog, IDC_ADVANCED));
    EXPECT_EQ(DialogUnits(dialog, 0, 0, 329, 274).bottom, ClientSize(dialog).cy);
    EXPECT_EQ(DialogUnits(dialog, 0, 0, 329, 274).right, ClientSize(dialog).cx);
    for (int id : {IDC_ENABLE, IDC_DISABLE, IDC_SAVE_LOG, IDC_PERSISTENT_STATUS})
        EXPECT_TRUE(Visible(id)) << "control " << id;
    ExpectCentredInWorkArea();

    // Moved by the user, folded again: recentred at the folded size.
    SetWindowPos(dialog, nullptr, 3, 5, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ToggleAdvancedAndWait();
    EXPECT_EQ(L"Advanced >>", ItemText(dialog, IDC_ADVANCED));
    EXPECT_EQ(folded, ClientSize(dialog).cy);
    EXPECT_FALSE(Visible(IDC_ENABLE));
    ExpectCentredInWorkArea();
}

TEST_F(MainDialogTest, EscapeDoesNotCloseTheDialog)
{
    PressKey(dialog, VK_ESCAPE);
    ToggleAdvancedAndWait();
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_TRUE(IsWindowVisible(dialog));
}

TEST_F(MainDialogTest, EnableAlwaysRegistersVerboseAndDisableRemovesIt)
{
    ToggleAdvancedAndWait();
    ChooseComboItem(dialog, IDC_LEVEL, 0);  // "Critical" applies to live tracing only
    ClickButton(dialog, IDC_ENABLE);
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, IDC_PERSISTENT_STATUS) == kEnabledText; }));
    EXPECT_FALSE(Enabled(IDC_ENABLE));
    EXPECT_TRUE(Enabled(IDC_DISABLE));
    EXPECT_TRUE(Enabled(IDC_SAVE_LOG));
    EXPECT_TRUE(EtwEmuSessionRunning(L"Quorvel"));
    std::wstring key = AUTOLOGGER_KEY;
    for (const std::wstring& provider : MachineSubkeyNames(key))
        EXPECT_EQ(5u, ReadMachineValue(key + L"\\" + provider, L"EnableLevel").AsDword());
    EXPECT_EQ(6u, MachineSubkeyNames(key).size());
    EXPECT_FALSE(FindTopWindow(L"#32770", nullptr, dialog));  // no error box

    ClickButton(dialog, IDC_DISABLE);
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, IDC_PERSISTENT_STATUS) == kDisabledText; }));
    EXPECT_TRUE(Enabled(IDC_ENABLE));
    EXPECT_FALSE(Enabled(IDC_DISABLE));
    EXPECT_TRUE(Enabled(IDC_SAVE_LOG));
    EXPECT_FALSE(MachineKeyExists(key));
    EXPECT_FALSE(EtwEmuSessionRunning(L"Quorvel"));
}

TEST_F(MainDialogTest, FailingEnableShowsTheErrorBoxThenTheRegistryState)
{
    ToggleAdvancedAndWait();
    EtwEmuFailCall(kEmuStartTrace, 1, ERROR_ACCESS_DENIED);
    ClickButton(dialog, IDC_ENABLE);

    MessageBoxSeen box;
    ASSERT_TRUE(WaitForMessageBox(&box, dialog));
    WCHAR* systemText = nullptr;
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, ERROR_ACCESS_DENIED,
                   0, (WCHAR*)&systemText, 0, nullptr);
    ASSERT_NE(nullptr, systemText);
    EXPECT_EQ(std::wstring(L"0x00000005 - ") + systemText, box.text);
    LocalFree(systemText);
    // Caption: the source file of the failing call and its line.
    EXPECT_EQ(0u, box.caption.find(L"app/main_dialog.cpp(")) << std::string(box.caption.begin(), box.caption.end());
    EXPECT_EQ(L')', box.caption.back());
    EXPECT_GT(_wtoi(box.caption.c_str() + wcslen(L"app/main_dialog.cpp(")), 0);
    EXPECT_EQ((UINT)MB_ICONINFORMATION, box.icon);
    ASSERT_TRUE(PressMessageBoxButton(box, IDOK));

    // The registration was written before the start failed.
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, IDC_PERSISTENT_STATUS) == kEnabledText; }));
    EXPECT_FALSE(Enabled(IDC_ENABLE));
    EXPECT_TRUE(Enabled(IDC_DISABLE));
}

TEST_F(MainDialogTest, ErrorBoxForACodeWithoutSystemText)
{
    ToggleAdvancedAndWait();
    EtwEmuFailCall(kEmuStartTrace, 1, 0x2000FFFF);
    ClickButton(dialog, IDC_ENABLE);
    MessageBoxSeen box;
    ASSERT_TRUE(WaitForMessageBox(&box, dialog));
    EXPECT_EQ(L"0x2000FFFF - no description available", box.text);
    ASSERT_TRUE(PressMessageBoxButton(box, IDOK));
}

// The level reaches the Live Tracing window: its own Level combo starts on it.
TEST_F(MainDialogTest, EnterOpensLiveTracingAtTheChosenLevel)
{
    struct Case {
        int comboItem;      // -1: leave the default
        const WCHAR* shown;
    } cases[] = {{-1, L"Information"}, {4, L"Verbose"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "combo item " << c.comboItem);
        if (c.comboItem >= 0)
            ChooseComboItem(dialog, IDC_LEVEL, c.comboItem);
        PressKey(dialog, VK_RETURN);
        HWND live = WaitForWindow(L"#32770", L"Live Tracing", dialog);
        ASSERT_NE(nullptr, live);
        EXPECT_FALSE(IsWindowEnabled(dialog));  // modal
        EXPECT_EQ(c.shown, ItemText(live, IDC_LIVE_LEVEL));
        CloseWithCloseBox(live);
        ASSERT_TRUE(WaitForWindowGone(live));
        ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(dialog) != FALSE; }));
    }
    EXPECT_FALSE(EtwEmuSessionRunning(L"QuorvelLive"));
}

TEST_F(MainDialogTest, CloseBoxEndsWithZero)
{
    CloseWithCloseBox(dialog);
    EXPECT_TRUE(WaitForWindowGone(dialog));
    // TearDown checks the result 0.
}

}  // namespace

namespace {

DWORD loadFlags;

HMODULE WINAPI RefusingLoadLibraryExW(LPCWSTR, HANDLE, DWORD flags)
{
    loadFlags = flags;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// Loaded from the system directory only, never from beside the executable.
TEST_F(MainDialogTest, LiveTracingWithoutRichEditSaysSoEachTime)
{
    ImportPatch load("kernel32.dll", "LoadLibraryExW", (void*)RefusingLoadLibraryExW);
    ASSERT_TRUE(load.active());
    mainDialog.richEditModule = nullptr;
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(testing::Message() << "attempt " << attempt);
        ClickButton(dialog, IDC_LIVE_TRACING);
        MessageBoxSeen box;
        ASSERT_TRUE(WaitForMessageBox(&box, dialog));
        EXPECT_EQ(L"Live Tracing", box.caption);
        EXPECT_EQ(L"Unable to load riched20.dll, the live tracing window cannot be displayed.", box.text);
        EXPECT_EQ((UINT)MB_ICONERROR, box.icon);
        ASSERT_TRUE(PressMessageBoxButton(box, IDOK));
        EXPECT_EQ((DWORD)LOAD_LIBRARY_SEARCH_SYSTEM32, loadFlags);
    }
    EXPECT_EQ(nullptr, mainDialog.richEditModule);
    EXPECT_EQ(nullptr, FindTopWindow(nullptr, L"Live Tracing"));
    ToggleAdvancedAndWait();  // still answering
}

}  // namespace
