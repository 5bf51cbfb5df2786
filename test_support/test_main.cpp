// Entry of every test executable.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include "app/main_dialog.h"

// "module+offset" of a code address.
static void PrintCodeAddress(DWORD64 address)
{
    HMODULE module = nullptr;
    char path[MAX_PATH] = "?";
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           (LPCSTR)address, &module))
        GetModuleFileNameA(module, path, MAX_PATH);
    const char* name = strrchr(path, '\\') ? strrchr(path, '\\') + 1 : path;
    fprintf(stderr, "  %s+0x%llx\n", name, (unsigned long long)(address - (DWORD64)module));
}

// A crash ends the run at once with its code, address and call stack,
// instead of starting Wine's debugger and waiting for CTest's timeout.
static LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception)
{
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    fprintf(stderr, "\nCRASH: exception 0x%08lX at %p in %s.%s (thread %lu)\n",
            exception->ExceptionRecord->ExceptionCode, exception->ExceptionRecord->ExceptionAddress,
            test ? test->test_suite_name() : "?", test ? test->name() : "?", GetCurrentThreadId());
    CONTEXT context = *exception->ContextRecord;
    for (int frame = 0; frame < 16 && context.Rip != 0; ++frame) {
        PrintCodeAddress(context.Rip);
        DWORD64 base = 0, frameAddress = 0;
        PVOID handlerData = nullptr;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &base, nullptr);
        if (function == nullptr) {
            context.Rip = *(DWORD64*)context.Rsp;
            context.Rsp += 8;
            continue;
        }
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, function, &context, &handlerData, &frameAddress,
                         nullptr);
    }
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
