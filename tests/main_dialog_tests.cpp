// The main dialog as a user sees it, "Save the log" with the export's exact bytes
// included. The Windows directory is a temporary one; the close box ends the dialog with 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "app/main_dialog.h"
#include "etw_emulation/etw_emulation.h"
#include "export/log_export.h"
#include "res/resource.h"
#include "test_support/import_patch.h"
#include "test_support/registry.h"
#include "test_support/temp_dir.h"
#include "test_support/ui_driver.h"
#include "tracing/autologger.h"
#include "tracing/trace_session.h"

namespace {

const WCHAR kEnabledText[] = L"Status : enabled. Traces are being written to disk.",
            kDisabledText[] = L"Status : disabled. Nothing is being written to disk.";
const std::wstring kEquals = std::wstring(48, L'=') + L"\r\n", kLine = L"2024-05-06;07:08:09;";

std::wstring fakeWindows;
UINT WINAPI FakeWindowsDirectory(LPWSTR out, UINT units) { return wcsncpy(out, fakeWindows.c_str(), units), (UINT)fakeWindows.size(); }
DWORD loadFlags;
HMODULE WINAPI RefusingLoadLibraryExW(LPCWSTR, HANDLE, DWORD flags) { return loadFlags = flags, SetLastError(ERROR_MOD_NOT_FOUND), nullptr; }
decltype(&WriteFile) realWriteFile; int writeCalls;
BOOL WINAPI SecondWriteShort(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped)   // as on a full disk
{ return ++writeCalls != 2 ? realWriteFile(file, data, bytes, written, overlapped) : (*written = 0, TRUE); }

std::string Bytes(const std::wstring& text) { return std::string((const char*)text.data(), text.size() * sizeof(WCHAR)); }
std::string Text(const std::wstring& text) { return Bytes(text) + std::string(2, '\0'); }   // a payload with its terminator
LONGLONG Stamp(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)   // a FILETIME, UTC
{ SYSTEMTIME t = {year, month, 0, day, hour, minute, second, 0}; LARGE_INTEGER s; return SystemTimeToFileTime(&t, (FILETIME*)&s) ? s.QuadPart : 0; }

class MainDialogTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(windowsDirectory.active());
        fakeWindows = temp.path();
        for (const WCHAR* directory : {L"System32", L"System32\\LogFiles", L"System32\\LogFiles\\WMI"})
            CreateDirectoryW((temp / directory).c_str(), nullptr);
        run = StartModalDialog(IDD_MAIN, MainDlgProc, 0);
        ASSERT_NE(nullptr, dialog = WaitForWindow(L"#32770", L"Quorvel Tracing"));
    }
    void TearDown() override { if (dialog != nullptr && IsWindow(dialog)) CloseWithCloseBox(dialog); EXPECT_EQ(0, FinishUiThread(run)); }
    bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
    void ToggleAdvancedAndWait()   // messages are handled in order: once it has toggled, all posted before were handled
    {
        std::wstring before = ItemText(dialog, IDC_ADVANCED);
        ClickButton(dialog, IDC_ADVANCED);
        ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, IDC_ADVANCED) != before; }));
    }
    MessageBoxSeen Box()   // the box the dialog shows, read then closed with OK
    { MessageBoxSeen box; EXPECT_TRUE(WaitForMessageBox(&box, dialog) && PressMessageBoxButton(box, IDOK)); return box; }
    std::wstring LogPath(int n)   // the current log file for 0, ".001" to ".008" for 1 to 8
    { return temp / L"System32\\LogFiles\\WMI\\Quorvel.etl" + (n ? L".00" + std::to_wstring(n) : L""); }
    std::wstring Banner(int n) { return kEquals + LogPath(n) + L"\r\n" + kEquals; }
    void WriteLog(int n, const std::wstring& text)   // one event at kLine's time; none for an empty text
    {
        std::string payload = Text(text);
        EtwEmuFileEvent event = {providerTable[2], 4, 4242, 77, Stamp(2024, 5, 6, 7, 8, 9), payload.data(), (ULONG)payload.size()};
        ASSERT_EQ(0u, EtwEmuWriteLogFile(LogPath(n).c_str(), L"Quorvel", &event, text.empty() ? 0 : 1));
    }
    void SaveAs(const std::wstring& path) { ClickButton(dialog, IDC_SAVE_LOG); ASSERT_TRUE(AnswerSaveDialog(dialog, path.c_str())); }

    TempDir temp, output;
    ImportPatch windowsDirectory{"kernel32.dll", "GetSystemWindowsDirectoryW", (void*)FakeWindowsDirectory};
    PersistentTracingCleanup cleanup;
    UiDialogRun* run = nullptr; HWND dialog = nullptr;
};

// Folded at start, unfolded, folded again after a move by the user: each time recentred; folded, the client area
// ends as far under the Advanced button as the button is from the left edge. Escape is ignored.
TEST_F(MainDialogTest, OpensFoldedOnInformationAndAdvancedUnfoldsRecentred)
{
    EXPECT_EQ(GetDlgItem(dialog, IDC_LIVE_TRACING), FocusOf(dialog));
    LOGFONTW font = {};   // the button, in bold
    EXPECT_TRUE(GetObjectW((HFONT)SendDlgItemMessageW(dialog, IDC_LIVE_TRACING, WM_GETFONT, 0, 0), sizeof(font), &font) && font.lfWeight == FW_BOLD);
    EXPECT_EQ(0u, ItemText(dialog, IDC_NOTICE).find(L"Version 2.1.0.0  -  "));
    std::wstring levels;   // the selected one starred
    for (int i = 0; i < SendDlgItemMessageW(dialog, IDC_LEVEL, CB_GETCOUNT, 0, 0); ++i) {
        WCHAR text[32] = {};
        SendDlgItemMessageW(dialog, IDC_LEVEL, CB_GETLBTEXT, i, (LPARAM)text);
        levels += text + std::wstring(SendDlgItemMessageW(dialog, IDC_LEVEL, CB_GETCURSEL, 0, 0) == i ? L"* " : L" ");
    }
    EXPECT_EQ(L"Critical Error Warning Information* Verbose ", levels);
    EXPECT_EQ(kDisabledText, ItemText(dialog, IDC_PERSISTENT_STATUS));
    for (bool expanded : {false, true, false}) {
        SCOPED_TRACE(expanded ? "unfolded" : "folded");
        EXPECT_EQ(expanded ? L"Advanced <<" : L"Advanced >>", ItemText(dialog, IDC_ADVANCED));
        for (int id : {IDC_ENABLE, IDC_DISABLE, IDC_SAVE_LOG, IDC_PERSISTENT_STATUS})
            EXPECT_EQ(expanded, IsWindowVisible(GetDlgItem(dialog, id)) != FALSE) << "control " << id;
        RECT work, window, size = {7, 156, 329, 274};   // the button's left and bottom, the template's size
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0), GetWindowRect(dialog, &window), MapDialogRect(dialog, &size);
        EXPECT_EQ(expanded ? size.bottom : size.top + size.left, ClientSize(dialog).cy);
        EXPECT_EQ(size.right, ClientSize(dialog).cx);
        EXPECT_EQ(work.left + (work.right - work.left - (window.right - window.left)) / 2, window.left);
        EXPECT_EQ(std::max(work.top, work.top + (work.bottom - work.top - (window.bottom - window.top)) / 2), window.top);
        SetWindowPos(dialog, nullptr, 3, 5, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        PressKey(dialog, VK_ESCAPE);
        ToggleAdvancedAndWait();
    }
    EXPECT_TRUE(IsWindowVisible(dialog));
}

// Each press, failing or not, leaves the status, the buttons and the focus
// as the registry says. A failure's box: code, system text, the failing call's place.
TEST_F(MainDialogTest, EnableAndDisableShowTheRegistryStateAndTheirErrors)
{
    const struct { int button; EtwEmuFunction failing; ULONG code; const WCHAR* box; bool enabled; } kPresses[] = {
        {IDC_ENABLE, kEmuFunctionCount, 0, nullptr, true},   // verbose, whatever the Level combo says
        {IDC_DISABLE, kEmuControlTrace, 0x2000FFFF, L"0x2000FFFF - no description available", true},
        {IDC_DISABLE, kEmuFunctionCount, 0, nullptr, false},
        {IDC_ENABLE, kEmuStartTrace, ERROR_ACCESS_DENIED, L"0x00000005 - Access denied.\r\n", true},   // registered before the start failed
    };
    const std::wstring key = AUTOLOGGER_KEY;
    ToggleAdvancedAndWait();
    ChooseComboItem(dialog, IDC_LEVEL, 0);   // "Critical" applies to live tracing only
    for (const auto& p : kPresses) {
        SCOPED_TRACE(testing::Message() << "button " << p.button << ", code " << p.code);
        if (p.code != 0)
            EtwEmuReset(), EtwEmuFailCall(p.failing, 1, p.code);
        ClickButton(dialog, p.button);
        if (p.code != 0) {
            MessageBoxSeen box = Box();
            EXPECT_EQ(p.box, box.text);
            EXPECT_TRUE(std::regex_match(box.caption, std::wregex(L"app/main_dialog\\.cpp\\([1-9][0-9]*\\)")));
            EXPECT_EQ((UINT)MB_ICONINFORMATION, box.icon);
        }
        // Without a box (whose end may leave the activation elsewhere) the focus leaves the button that got disabled.
        ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, IDC_PERSISTENT_STATUS) == (p.enabled ? kEnabledText : kDisabledText) &&
                                           (p.code || FocusOf(dialog) == GetDlgItem(dialog, p.enabled ? IDC_DISABLE : IDC_ENABLE)); }));
        EXPECT_TRUE(Enabled(IDC_DISABLE) == p.enabled && Enabled(IDC_ENABLE) != p.enabled && Enabled(IDC_SAVE_LOG));
        EXPECT_EQ(p.enabled ? 6u : 0u, MachineSubkeyNames(key).size());
        for (const std::wstring& provider : MachineSubkeyNames(key))
            EXPECT_EQ(5u, ReadMachineValue(key + L"\\" + provider, L"EnableLevel").AsDword());
    }
}

// Enter presses the default button. riched20.dll, from the system directory only, refused: the box, and the
// next press tries again; the live window then opens modal at the chosen level.
TEST_F(MainDialogTest, LiveTracingOpensModalAtTheChosenLevelOrSaysWhyNot)
{
    mainDialog.richEditModule = nullptr;
    ChooseComboItem(dialog, IDC_LEVEL, 4);
    {
        ImportPatch refuse("kernel32.dll", "LoadLibraryExW", (void*)RefusingLoadLibraryExW);
        PressKey(dialog, VK_RETURN);
        MessageBoxSeen box = Box();
        EXPECT_EQ(L"Live Tracing: Unable to load riched20.dll, the live tracing window cannot be displayed.", box.caption + L": " + box.text);
        EXPECT_EQ((UINT)MB_ICONERROR, box.icon);
        EXPECT_EQ((DWORD)LOAD_LIBRARY_SEARCH_SYSTEM32, loadFlags);
    }
    PressKey(dialog, VK_RETURN);
    HWND live = WaitForWindow(L"#32770", L"Live Tracing", dialog);
    ASSERT_NE(nullptr, live);
    EXPECT_FALSE(IsWindowEnabled(dialog));
    EXPECT_EQ(L"Verbose", ItemText(live, IDC_LIVE_LEVEL));
    CloseWithCloseBox(live);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(live) && IsWindowEnabled(dialog); }));
}

// One event over 64 KB on a full disk: 64 KB written, nothing after the short second write, and the box.
TEST_F(MainDialogTest, SaveTheLogOnAFullDiskKeepsWhatWasWrittenAndSaysSo)
{
    const std::wstring many(40000, L'y'), path = output / L"full.txt";
    WriteLog(0, many);
    ImportPatch writeFile("kernel32.dll", "WriteFile", (void*)SecondWriteShort);
    realWriteFile = writeFile.original<decltype(&WriteFile)>(), writeCalls = 0;
    ToggleAdvancedAndWait();
    SaveAs(path);
    MessageBoxSeen box = Box();
    EXPECT_TRUE(box.text.find(L"0x00000070 - ") == 0 && box.caption.find(L"export/") == 0) << box.caption << ": " << box.text;
    bool exists = false;   // the export holds its file to itself until it is done
    std::string expected = Bytes((Banner(0) + kLine + many).substr(0, EXPORT_CHUNK_UNITS));
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(path, &exists) == expected && exists; })) << ReadFileBytes(path).size();
}

// Older files .001 to .008 but .007, Enable, events of every shape, a restart (each file moves up one, the one at
// .008 goes), one more event: the session still writes while the export reads. A name typed without extension
// gets ".txt", and the file of that name is replaced unasked.
TEST_F(MainDialogTest, EnableLogRestartSaveReadBack)
{
    std::wstring older;   // .003 not a log, .005 one without events
    for (int n : {1, 2, 3, 4, 5, 6, 8}) {
        if (n == 3)
            ASSERT_TRUE(WriteFileBytes(LogPath(n), "QuorvelTrace ETW emulation log\r\n"));
        else
            WriteLog(n, n == 5 ? L"" : L"older " + std::to_wstring(n));
        older += n == 8 || n == 3 ? L"" : Banner(n + 1) + (n == 5 ? L"" : kLine + L"older " + std::to_wstring(n) + L"\r\n");
    }
    ToggleAdvancedAndWait();
    ClickButton(dialog, IDC_ENABLE);   // the status follows once the providers are enabled
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, IDC_PERSISTENT_STATUS) == kEnabledText; }));
    LONGLONG lastOfDay = Stamp(2024, 2, 29, 23, 59, 59) + 9999999, next = Stamp(2024, 3, 1, 0, 0, 0);
    const struct { LONGLONG stamp; UCHAR level; std::string payload; } events[] = {
        {lastOfDay, 4, Text(L"Reader::Open(42) : card inserted")}, {next, 0, Text(L"level 0")},
        {next, 3, ""}, {next, 2, Text(L"")}, {next, 1, Bytes(L"a;b;c\r\n")}, {next, 3, std::string("A\0B\0C", 5)},
        {next, 5, Text(std::wstring(L"ab\0cd", 5))}, {-1, 4, Text(L"no date")}, {next, 4, Text(std::wstring(600000, L'x'))},
    };
    for (const auto& e : events)
        EXPECT_EQ(1u, EtwEmuLogEvent(&providerTable[0], e.level, 1, 2, e.stamp, e.payload.data(), (ULONG)e.payload.size()));
    ASSERT_EQ(0u, EtwEmuPlayRestart(L"Quorvel", LogPath(0).c_str(), 8));
    std::string after = Text(L"Pin::Verify(7) : wrong PIN");
    EXPECT_EQ(1u, EtwEmuLogEvent(&providerTable[5], 2, 1, 2, next, after.data(), (ULONG)after.size()));

    std::wstring path = output / L"export.txt";
    ASSERT_TRUE(WriteFileBytes(path, std::string(300000, 'x')));
    SaveAs(output / L"export");
    std::string expected = Bytes(Banner(0) + L"2024-03-01;00:00:00;Pin::Verify(7) : wrong PIN\r\n" + Banner(1) +
                                 L"2024-02-29;23:59:59;Reader::Open(42) : card inserted\r\n2024-03-01;00:00:00;\r\n"
                                 L"2024-03-01;00:00:00;a;b;c\r\n\r\n2024-03-01;00:00:00;AB\r\n2024-03-01;00:00:00;ab\r\n"
                                 L"0000-00-00;00:00:00;no date\r\n2024-03-01;00:00:00;" + std::wstring(600000, L'x') + L"\r\n" + older);
    // Read once replaced (an open reader makes the export's exclusive create fail); no byte-order mark.
    WIN32_FILE_ATTRIBUTE_DATA file;
    ASSERT_TRUE(WaitUntil([&] { return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &file) && file.nFileSizeLow != 300000; }));
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(path) == expected; })) << ReadFileBytes(path).size();
    EXPECT_EQ(nullptr, FindTopWindow(L"#32770", nullptr, dialog));
}

}  // namespace
