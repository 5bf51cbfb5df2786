// QuorvelTrace.exe as built runs elevated: the loader must take its DLLs from System32, never from its folder.
#include <gtest/gtest.h>
#include <windows.h>
#include <imagehlp.h>

#include "test_support/import_patch.h"
#include "test_support/temp_dir.h"
#include "test_support/theme_setting.h"
#include "theme/theme_window.h"

namespace {

std::wstring BuildFile(const std::wstring& name) // beside this test
{
    WCHAR path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, wcsrchr(path, L'\\') + 1) + name;
}

// The real ETW functions from advapi32 (not the tests' emulation); known DLLs only (comctl32 by its manifest), none
// delayed, their imports kept in System32 by the load configuration; the checksum the file's, as the post-link step
// leaves it. The window asks for administrator rights and Common Controls 6; the console program, run elevated or as
// SYSTEM from wherever a deployment tool put it, runs as invoked and imports no comctl32.
TEST(ProductImageTest, ImportsOnlyKnownDllsAndKeepsTheirImportsInSystem32)
{
    const struct { const WCHAR* program; const char* imports; const char* level; const char* controls; } kPrograms[] = {
        {L"QuorvelTrace.exe",
         "advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll shell32.dll user32.dll ",
         R"(<requestedExecutionLevel level="requireAdministrator")",
         R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")"},
        {L"QuorvelTraceCmd.exe", "advapi32.dll kernel32.dll msvcrt.dll ", R"(<requestedExecutionLevel level="asInvoker")",
         nullptr},
    };
    for (const auto& program : kPrograms) {
        SCOPED_TRACE(program.imports);
        HMODULE image = LoadLibraryExW(BuildFile(program.program).c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(nullptr, image);
        BYTE* base = (BYTE*)((ULONG_PTR)image & ~(ULONG_PTR)3); // the handle of an image resource is tagged
        const IMAGE_DATA_DIRECTORY* directory
            = ((IMAGE_NT_HEADERS64*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew))->OptionalHeader.DataDirectory;
        const IMAGE_DATA_DIRECTORY& load = directory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
        ASSERT_LE(sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64), load.Size);
        EXPECT_EQ(
            LOAD_LIBRARY_SEARCH_SYSTEM32, ((IMAGE_LOAD_CONFIG_DIRECTORY64*)(base + load.VirtualAddress))->Reserved1);
        EXPECT_EQ(0u, directory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].Size);
        std::string imports, etw;
        auto* import = (IMAGE_IMPORT_DESCRIPTOR*)(base + directory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
        for (; import->Name != 0; ++import) {
            std::string dll = CharLowerA((char*)std::string((const char*)base + import->Name).c_str());
            imports += dll + " ";
            for (auto* thunk = (IMAGE_THUNK_DATA64*)(base + import->OriginalFirstThunk); thunk->u1.AddressOfData;
                 ++thunk) {
                std::string name = ((IMAGE_IMPORT_BY_NAME*)(base + thunk->u1.AddressOfData))->Name;
                etw += dll == "advapi32.dll" && (name.find("Trace") != std::string::npos) ? name + " " : "";
            }
        }
        EXPECT_EQ(program.imports, imports);
        EXPECT_EQ("CloseTrace ControlTraceW EnableTrace OpenTraceW ProcessTrace StartTraceW ", etw);
        HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), RT_MANIFEST);
        ASSERT_NE(nullptr, found);
        std::string manifest((const char*)LockResource(LoadResource(image, found)), SizeofResource(image, found));
        EXPECT_NE(std::string::npos, manifest.find(program.level));
        EXPECT_TRUE(program.controls == nullptr || manifest.find(program.controls) != std::string::npos);
        FreeLibrary(image);
        DWORD written = 0, computed = 0;
        EXPECT_EQ(0u, MapFileAndCheckSumW(BuildFile(program.program).c_str(), &written, &computed));
        EXPECT_EQ(computed, written);
        EXPECT_NE(0u, written);
    }
}

// Every system DLL the theme pass asks for by name, System32 only: Wine takes its own uxtheme.dll whatever the flags,
// so the loads are read as asked, each DLL made to look not loaded yet; dwmapi.dll is planted as well.
std::wstring loads;
decltype(&LoadLibraryExW) realLoad;

TEST(ProductImageTest, ThemePassTakesNoPlantedDll)
{
    const std::wstring marker = BuildFile(L"planted\\dwmapi.dll.loaded");
    ASSERT_EQ(nullptr, GetModuleHandleW(L"dwmapi.dll"));
    ThemeSetting setting;
    setting.SetDark(true);
    HWND window = CreateWindowExW(0, L"Static", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    CreateWindowExW(0, L"Button", L"", WS_CHILD, 0, 0, 0, 0, window, nullptr, nullptr, nullptr); // themed dark
    SetDllDirectoryW(BuildFile(L"planted").c_str());
    {
        ImportPatch load("kernel32.dll", "LoadLibraryExW", (void*)+[](LPCWSTR name, HANDLE file, DWORD flags) {
            loads += name + (L" " + std::to_wstring(flags)) + L"; ";
            return realLoad(name, file, flags);
        });
        realLoad = load.original<decltype(&LoadLibraryExW)>();
        ImportPatch unloaded("kernel32.dll", "GetModuleHandleW", (void*)+[](LPCWSTR) { return (HMODULE) nullptr; });
        ApplyWindowTheme(window);
    }
    SetDllDirectoryW(nullptr);
    EXPECT_EQ(L"ntdll.dll 2048; dwmapi.dll 2048; uxtheme.dll 2048; ", loads);
    EXPECT_FALSE(PathExists(marker));
    DeleteFileW(marker.c_str());
    DestroyWindow(window);
}

} // namespace
