// Entry of every test executable.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include "app/main_dialog.h"

// A crash ends the run at once with its code and address, instead of starting
// Wine's debugger and waiting for CTest's timeout.
static LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception)
{
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    HMODULE module = nullptr;
    char path[MAX_PATH] = "?";
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           (LPCSTR)record->ExceptionAddress, &module))
        GetModuleFileNameA(module, path, MAX_PATH);
    fprintf(stderr, "\nCRASH: exception 0x%08lX at %p (%s+0x%llx) in %s.%s (thread %lu)\n", record->ExceptionCode,
            record->ExceptionAddress, strrchr(path, '\\') ? strrchr(path, '\\') + 1 : path,
            (unsigned long long)((BYTE*)record->ExceptionAddress - (BYTE*)module), test ? test->test_suite_name() : "?",
            test ? test->name() : "?", GetCurrentThreadId());
    fflush(stdout);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

int wmain(int argc, wchar_t** argv)
{
    SetUnhandledExceptionFilter(ReportCrash);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    // Dialog templates and images are linked into each test executable.
    appInstance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
