// The app theme as the registry says it, and the dark window brush.
#include <gtest/gtest.h>

#include "tests/live_test_support.h"
#include "theme/theme_palette.h"

namespace {

TEST(ThemePaletteTest, ReadsOnlyADwordZeroAsDark)
{
    ThemeSetting setting;
    const DWORD zero = 0, one = 1, two = 2;
    const ULONG64 zero64 = 0;
    const struct {
        const char* name;
        DWORD type;        // REG_NONE: the value is missing
        const void* data;
        DWORD size;
        BOOL dark;
    } cases[] = {
        {"missing", REG_NONE, nullptr, 0, FALSE},
        {"DWORD 1", REG_DWORD, &one, 4, FALSE},
        {"DWORD 2", REG_DWORD, &two, 4, FALSE},
        {"DWORD 0", REG_DWORD, &zero, 4, TRUE},
        {"string \"0\"", REG_SZ, L"0", 4, FALSE},
        {"QWORD 0", REG_QWORD, &zero64, 8, FALSE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.type == REG_NONE)
            setting.Remove();
        else
            setting.Write(c.type, c.data, c.size);
        EXPECT_EQ(c.dark, IsDarkTheme());
        // Nothing is cached: the next change is seen at once.
        setting.SetDark(!c.dark);
        EXPECT_EQ(!c.dark, IsDarkTheme());
    }
}

TEST(ThemePaletteTest, BackgroundBrushFollowsTheTheme)
{
    ThemeSetting setting;
    setting.SetDark(false);
    EXPECT_EQ(GetStockObject(WHITE_BRUSH), GetDarkBackgroundBrush());

    setting.SetDark(true);
    HBRUSH dark = GetDarkBackgroundBrush();
    ASSERT_NE(nullptr, dark);
    LOGBRUSH brush = {0xdeadbeef, 0xdeadbeef, 0xdeadbeef};
    ASSERT_EQ((int)sizeof(brush), GetObjectW(dark, sizeof(brush), &brush));
    EXPECT_EQ((UINT)BS_SOLID, brush.lbStyle);
    EXPECT_EQ(RGB(32, 32, 32), brush.lbColor);
    EXPECT_EQ(dark, GetDarkBackgroundBrush()) << "made once, then kept";

    setting.SetDark(false);
    EXPECT_EQ(GetStockObject(WHITE_BRUSH), GetDarkBackgroundBrush());
    setting.SetDark(true);
    EXPECT_EQ(dark, GetDarkBackgroundBrush()) << "still valid after a light spell";
}

}  // namespace
