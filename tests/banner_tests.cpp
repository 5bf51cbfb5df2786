// The main dialog's banner: the dark recolouring of single pixels, and the
// banner as the screen shows it in the light and the dark theme.
#include <gtest/gtest.h>

#include <vector>

#include "app/banner.h"
#include "app/main_dialog.h"
#include "res/resource.h"
#include "test_support/import_patch.h"
#include "test_support/theme_setting.h"
#include "test_support/ui_driver.h"

namespace {

// A 32-bit top-down DIB of 0x00RRGGBB pixels.
BITMAPINFO TopDown(int width, int height)
{
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    return info;
}

std::vector<DWORD> PixelsOf(HBITMAP bitmap, int width, int height)
{
    std::vector<DWORD> pixels(width * height);
    BITMAPINFO info = TopDown(width, height);
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    for (DWORD& pixel : pixels)
        pixel &= 0xFFFFFF;
    return pixels;
}

TEST(BannerTest, RecolorForDarkPixelTable)
{
    const DWORD cases[][2] = {  // input, output
        {0xFFFFFF, 0x202020}, {0xFEFEFE, 0x202020}, {0x000000, 0xE8E8E8}, {0x808080, 0x838383}, {0x282828, 0xC8C8C8},
        {0x64648C, 0x999999}, {0xFF0000, 0xFF0000}, {0x0078D7, 0x0078D7}, {0xC8DCFF, 0x192D50},
    };
    DWORD input[9];
    for (int i = 0; i < 9; ++i)
        input[i] = cases[i][0];
    HBITMAP bitmap = CreateBitmap(9, 1, 1, 32, input);
    HBITMAP dark = RecolorForDark(bitmap);
    ASSERT_NE(bitmap, dark);
    std::vector<DWORD> output = PixelsOf(dark, 9, 1);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(cases[i][1], output[i]) << std::hex << "input " << cases[i][0];
    DeleteObject(bitmap);
    DeleteObject(dark);
    banner.darkBannerBitmap = banner.darkBannerSource = nullptr;
}

int dibReads;
decltype(&GetDIBits) realGetDIBits;

int WINAPI CountingGetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits, LPBITMAPINFO info, UINT usage)
{
    ++dibReads;
    return realGetDIBits(dc, bitmap, start, lines, bits, info, usage);
}

// Light, then dark, each painted three times and read back from the screen:
// background, the bitmap 10 px from the right edge (below the version line
// that overlaps its top), the title's pixels on the left. The recoloured
// copy is made once.
TEST(BannerTest, MainDialogBannerInBothThemes)
{
    ThemeSetting theme;
    DeleteObject(banner.darkBannerBitmap);
    banner.darkBannerBitmap = banner.darkBannerSource = nullptr;
    UiDialogRun* run = StartModalDialog(IDD_MAIN, MainDlgProc, 0);
    HWND dialog = WaitForWindow(L"#32770", L"Quorvel Tracing");
    ASSERT_NE(nullptr, dialog);
    HWND control = GetDlgItem(dialog, IDC_BANNER);
    SIZE size = ClientSize(control);
    ASSERT_TRUE(banner.bannerWidth == 136 && banner.bannerHeight == 41);
    int left = size.cx - 136 - BANNER_MARGIN, top = (size.cy - 41) / 2;

    const struct { bool dark; DWORD background, title; } cases[] = {{false, 0xFFFFFF, 0}, {true, 0x202020, 0xE8E8E8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dark ? "dark" : "light");
        theme.SetDark(c.dark);
        ImportPatch patch("gdi32.dll", "GetDIBits", (void*)CountingGetDIBits);
        realGetDIBits = patch.original<decltype(&GetDIBits)>();
        dibReads = 0;
        std::vector<DWORD> shown, bitmap;
        BITMAPINFO info = TopDown(size.cx, size.cy);
        HBITMAP capture = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, nullptr, nullptr, 0);
        for (int paint = 0; paint < 3; ++paint) {
            RunOnUiThread(run, [&] {
                RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
                HDC window = GetDC(control), memory = CreateCompatibleDC(window);
                HGDIOBJ previous = SelectObject(memory, capture);
                BitBlt(memory, 0, 0, size.cx, size.cy, window, 0, 0, SRCCOPY);
                SelectObject(memory, previous);
                DeleteDC(memory);
                ReleaseDC(control, window);
            });
        }
        EXPECT_EQ(c.dark ? 1 : 0, dibReads) << "recoloured copies made";
        shown = PixelsOf(capture, size.cx, size.cy);
        DeleteObject(capture);
        // Read on the UI thread: a bitmap goes into one device context at a time.
        RunOnUiThread(run, [&] { bitmap = PixelsOf(c.dark ? banner.darkBannerBitmap : banner.bannerBitmap, 136, 41); });

        EXPECT_EQ(c.background, shown[0]);
        EXPECT_EQ(c.background, shown.back());
        for (int y = top + 8; y < top + 41; ++y) {  // rows the version text may cover skipped
            for (int x = left; x < size.cx; ++x)
                ASSERT_EQ(x < left + 136 ? bitmap[(y - top) * 136 + x - left] : c.background, shown[y * size.cx + x])
                    << "x " << x << ", y " << y;
        }
        int titlePixels = 0;
        for (int y = 0; y < size.cy; ++y) {
            for (int x = 0; x < 150; ++x)
                titlePixels += shown[y * size.cx + x] == c.title;
        }
        EXPECT_GT(titlePixels, 20);
    }
    CloseWithCloseBox(dialog);
    EXPECT_EQ(0, FinishUiThread(run));
}

}  // namespace
