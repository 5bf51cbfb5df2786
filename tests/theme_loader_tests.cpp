// QuorvelTrace.exe as built runs elevated: the loader must take its DLLs from System32, never from its folder.
#include <gtest/gtest.h>
#include <windows.h>

#include "test_support/temp_dir.h"
#include "test_support/theme_setting.h"
#include "test_support/ui_driver.h"
#include "theme/theme_window.h"

namespace {

std::wstring BuildFile(const std::wstring& name) // beside this test
{
    WCHAR path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, wcsrchr(path, L'\\') + 1) + name;
}

// Imports kept in System32 by the load configuration; known DLLs only (comctl32 by its manifest), none delayed. The
// console program, run elevated or as SYSTEM from wherever a deployment tool put it, the same without comctl32.
TEST(ProductImageTest, ImportsOnlyKnownDllsAndKeepsTheirImportsInSystem32)
{
    for (const auto& [program, expected] :
        {std::make_pair(L"QuorvelTrace.exe",
             "advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll user32.dll "),
            std::make_pair(L"QuorvelTraceCmd.exe", "advapi32.dll kernel32.dll msvcrt.dll ")}) {
        SCOPED_TRACE(expected);
        HMODULE image = LoadLibraryExW(BuildFile(program).c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(nullptr, image);
        BYTE* base = (BYTE*)((ULONG_PTR)image & ~(ULONG_PTR)3); // the handle of an image resource is tagged
        const IMAGE_DATA_DIRECTORY* directory
            = ((IMAGE_NT_HEADERS64*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew))->OptionalHeader.DataDirectory;
        const IMAGE_DATA_DIRECTORY& load = directory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
        ASSERT_LE(sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64), load.Size);
        EXPECT_EQ(
            LOAD_LIBRARY_SEARCH_SYSTEM32, ((IMAGE_LOAD_CONFIG_DIRECTORY64*)(base + load.VirtualAddress))->Reserved1);
        EXPECT_EQ(0u, directory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].Size);
        std::string imports;
        auto* import = (IMAGE_IMPORT_DESCRIPTOR*)(base + directory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
        for (; import->Name != 0; ++import)
            imports += CharLowerA((char*)std::string((const char*)base + import->Name).c_str()) + std::string(" ");
        EXPECT_EQ(expected, imports);
        FreeLibrary(image);
    }
}

// Wine takes its own uxtheme.dll anyway; the theme pass must take dwmapi.dll from System32, not the planted one.
TEST(ProductImageTest, ThemePassTakesNoPlantedDll)
{
    const std::wstring marker = BuildFile(L"planted\\dwmapi.dll.loaded");
    ASSERT_EQ(nullptr, GetModuleHandleW(L"dwmapi.dll"));
    SetDllDirectoryW(BuildFile(L"planted").c_str());
    ApplyWindowTheme(CreateWindowExW(0, L"Static", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
    SetDllDirectoryW(nullptr);
    EXPECT_FALSE(PathExists(marker));
    DeleteFileW(marker.c_str());
}

// A copy of the program run beside recording DLLs, in the dark theme so that it asks for both at once. Wine takes
// its own uxtheme.dll whatever the program does, and dwmapi.dll from beside the program unless the search is kept
// to System32.
TEST(ProductImageTest, DllsPlantedBesideACopyAreNotLoaded)
{
    ThemeSetting setting;
    setting.SetDark(true);
    TempDir folder;
    ASSERT_TRUE(CopyFileW(BuildFile(L"QuorvelTrace.exe").c_str(), (folder / L"QuorvelTrace.exe").c_str(), FALSE));
    for (const WCHAR* dll : {L"uxtheme.dll", L"dwmapi.dll"})
        ASSERT_TRUE(CopyFileW(BuildFile(std::wstring(L"planted\\") + dll).c_str(), (folder / dll).c_str(), FALSE));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW((folder / L"QuorvelTrace.exe").c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
        folder.path().c_str(), &startup, &process));
    HWND dialog = nullptr;
    EXPECT_TRUE(WaitUntil([&] { return (dialog = FindWindowW(L"#32770", L"Quorvel Tracing")) != nullptr; }));
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, UI_WAIT_MS) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, UI_WAIT_MS);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_FALSE(PathExists(folder / L"dwmapi.dll.loaded"));
    EXPECT_FALSE(PathExists(folder / L"uxtheme.dll.loaded"));
}

} // namespace
