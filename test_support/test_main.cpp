// Entry of every test executable.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/main_dialog.h"

int wmain(int argc, wchar_t** argv)
{
    // Dialog templates and images are linked into each test executable.
    appInstance = GetModuleHandleW(nullptr);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
