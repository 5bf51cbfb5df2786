// QuorvelTrace.exe as built runs elevated: the loader must take its DLLs from System32, never from its folder.
#include <gtest/gtest.h>
#include <windows.h>

#include "test_support/temp_dir.h"
#include "test_support/theme_setting.h"
#include "test_support/ui_driver.h"
#include "theme/theme_window.h"

namespace {

std::wstring BuildFile(const std::wstring& name)   // beside this test
{ WCHAR path[MAX_PATH]; GetModuleFileNameW(nullptr, path, MAX_PATH); return std::wstring(path, wcsrchr(path, L'\\') + 1) + name; }

TEST(ProductImageTest, ImportsOnlyKnownDllsAndKeepsTheirImportsInSystem32)
{
    HANDLE file = CreateFileW(BuildFile(L"QuorvelTrace.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE image = CreateFileMappingW(file, nullptr, PAGE_READONLY | SEC_IMAGE, 0, 0, nullptr);
    BYTE* base = (BYTE*)MapViewOfFile(image, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(nullptr, base);
    const IMAGE_DATA_DIRECTORY* directory = ((IMAGE_NT_HEADERS64*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew))->OptionalHeader.DataDirectory;
    const IMAGE_DATA_DIRECTORY& config = directory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
    ASSERT_LE(sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64), config.Size);
    EXPECT_EQ(LOAD_LIBRARY_SEARCH_SYSTEM32, ((IMAGE_LOAD_CONFIG_DIRECTORY64*)(base + config.VirtualAddress))->Reserved1);
    EXPECT_EQ(0u, directory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].Size);
    // Windows' known DLLs, ntdll, and comctl32 (through the manifest).
    const std::string kAllowed = " advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32 kernel32 msctf "
                                 "msvcrt normaliz nsi ntdll ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi "
                                 "user32 wldap32 ws2_32 comctl32 ";
    for (auto* import = (IMAGE_IMPORT_DESCRIPTOR*)(base + directory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress); import->Name; ++import) {
        std::string name = CharLowerA((char*)std::string((const char*)base + import->Name).c_str());
        EXPECT_NE(std::string::npos, kAllowed.find(" " + name.substr(0, name.size() - 4) + " ")) << name;
    }
    UnmapViewOfFile(base), CloseHandle(image), CloseHandle(file);
}

// Under Wine this guards dwmapi.dll only: Wine takes its own uxtheme.dll
// whatever the program does, dwmapi.dll from beside it unless the search is
// kept to System32, which the program does twice (default DLL directories,
// flags of each load): the copy shows both, the theme pass here the flags.
TEST(ProductImageTest, DllsPlantedBesideACopyAreNotLoaded)
{
    ThemeSetting setting;
    setting.SetDark(true);   // the program then asks for uxtheme and dwmapi at once
    TempDir folder;
    ASSERT_TRUE(CopyFileW(BuildFile(L"QuorvelTrace.exe").c_str(), (folder / L"QuorvelTrace.exe").c_str(), FALSE));
    for (const WCHAR* dll : {L"uxtheme.dll", L"dwmapi.dll"})
        ASSERT_TRUE(CopyFileW(BuildFile(std::wstring(L"planted\\") + dll).c_str(), (folder / dll).c_str(), FALSE));
    STARTUPINFOW startup = {sizeof(startup), nullptr, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr};
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW((folder / L"QuorvelTrace.exe").c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                               folder.path().c_str(), &startup, &process));
    HWND dialog = nullptr;   // then closed
    EXPECT_TRUE(WaitUntil([&] { return (dialog = FindWindowW(L"#32770", L"Quorvel Tracing")) != nullptr; }, 30000));
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, UI_WAIT_MS) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1), WaitForSingleObject(process.hProcess, UI_WAIT_MS);
    CloseHandle(process.hThread), CloseHandle(process.hProcess);
    EXPECT_FALSE(PathExists(folder / L"dwmapi.dll.loaded") || PathExists(folder / L"uxtheme.dll.loaded"));

    const std::wstring marker = BuildFile(L"planted\\dwmapi.dll.loaded");
    ASSERT_EQ(nullptr, GetModuleHandleW(L"dwmapi.dll"));
    SetDllDirectoryW(BuildFile(L"planted").c_str());
    ApplyWindowTheme(CreateWindowExW(0, L"Static", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
    SetDllDirectoryW(nullptr);
    EXPECT_FALSE(PathExists(marker));
    DeleteFileW(marker.c_str());
}

}  // namespace
