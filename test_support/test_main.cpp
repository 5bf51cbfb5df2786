// Entry of every test executable.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include "app/main_dialog.h"

int wmain(int argc, wchar_t** argv)
{
    // Dialog templates and images are linked into each test executable.
    appInstance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
