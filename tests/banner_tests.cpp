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

typedef std::vector<DWORD> Pixels;  // 0x00RRGGBB, rows top-down

BITMAPINFOHEADER TopDown32(int width, int height)
{
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof(header);
    header.biWidth = width;
    header.biHeight = -height;
    header.biPlanes = 1;
    header.biBitCount = 32;
    return header;
}

Pixels PixelsOf(HBITMAP bitmap, int width, int height)
{
    Pixels pixels(width * height);
    BITMAPINFOHEADER header = TopDown32(width, height);
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, bitmap, 0, height, pixels.data(), (BITMAPINFO*)&header, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    for (DWORD& pixel : pixels)
        pixel &= 0xFFFFFF;
    return pixels;
}

void ForgetDarkCopy()
{
    DeleteObject(banner.darkBannerBitmap);
    banner.darkBannerBitmap = nullptr;
    banner.darkBannerSource = nullptr;
}

TEST(BannerTest, RecolorForDarkPixelTable)
{
    const DWORD cases[][2] = {  // input, output
        {0xFFFFFF, 0x202020}, {0xFEFEFE, 0x202020}, {0x000000, 0xE8E8E8},
        {0x808080, 0x838383}, {0x282828, 0xC8C8C8}, {0x64648C, 0x999999},
        {0xFF0000, 0xFF0000}, {0x0078D7, 0x0078D7}, {0xC8DCFF, 0x192D50},
    };
    const int count = sizeof(cases) / sizeof(cases[0]);
    Pixels input;
    for (const auto& c : cases)
        input.push_back(c[0]);
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, count, 1);
    BITMAPINFOHEADER header = TopDown32(count, 1);
    SetDIBits(screen, bitmap, 0, 1, input.data(), (BITMAPINFO*)&header, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);

    HBITMAP dark = RecolorForDark(bitmap);
    ASSERT_NE(bitmap, dark);
    EXPECT_EQ(dark, RecolorForDark(bitmap));  // kept
    Pixels output = PixelsOf(dark, count, 1);
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(cases[i][1], output[i]) << std::hex << "input " << cases[i][0];
    DeleteObject(bitmap);
    ForgetDarkCopy();
}

int dibReads;
decltype(&GetDIBits) realGetDIBits;

int WINAPI CountingGetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits, LPBITMAPINFO info, UINT usage)
{
    ++dibReads;
    return realGetDIBits(dc, bitmap, start, lines, bits, info, usage);
}

// The banner control's pixels as the screen shows them after a repaint.
Pixels CaptureBanner(UiDialogRun* run, HWND control, SIZE size)
{
    Pixels pixels(size.cx * size.cy);
    RunOnUiThread(run, [&] {
        RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        BITMAPINFOHEADER header = TopDown32(size.cx, size.cy);
        void* bits = nullptr;
        HBITMAP target = CreateDIBSection(nullptr, (BITMAPINFO*)&header, DIB_RGB_COLORS, &bits, nullptr, 0);
        HDC window = GetDC(control), memory = CreateCompatibleDC(window);
        HGDIOBJ previous = SelectObject(memory, target);
        BitBlt(memory, 0, 0, size.cx, size.cy, window, 0, 0, SRCCOPY);
        GdiFlush();
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = ((const DWORD*)bits)[i] & 0xFFFFFF;
        SelectObject(memory, previous);
        DeleteDC(memory);
        ReleaseDC(control, window);
        DeleteObject(target);
    });
    return pixels;
}

// Light, then dark: background, the bitmap drawn 10 px from the right edge
// (below the version line that overlaps its top), the title on the left.
// Several dark paints make the recoloured copy once.
TEST(BannerTest, MainDialogBannerInBothThemes)
{
    ThemeSetting theme;
    ForgetDarkCopy();
    UiDialogRun* run = StartModalDialog(IDD_MAIN, MainDlgProc, 0);
    HWND dialog = WaitForWindow(L"#32770", L"Quorvel Tracing");
    ASSERT_NE(nullptr, dialog);
    HWND control = GetDlgItem(dialog, IDC_BANNER);
    SIZE size = ClientSize(control);
    ASSERT_EQ(136, banner.bannerWidth);
    ASSERT_EQ(41, banner.bannerHeight);
    int left = size.cx - 136 - BANNER_MARGIN, top = (size.cy - 41) / 2;
    const int kBelowVersion = 8;    // bitmap rows hidden by the version text

    struct Case {
        bool dark;
        DWORD background;
        bool (*isTitle)(DWORD);
    } cases[] = {
        {false, 0xFFFFFF, [](DWORD p) { return p == 0x000000; }},
        {true, 0x202020, [](DWORD p) { return p == 0xE8E8E8; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dark ? "dark" : "light");
        theme.SetDark(c.dark);
        ImportPatch patch("gdi32.dll", "GetDIBits", (void*)CountingGetDIBits);
        realGetDIBits = patch.original<decltype(&GetDIBits)>();
        dibReads = 0;
        Pixels shown;
        for (int paint = 0; paint < 3; ++paint)
            shown = CaptureBanner(run, control, size);
        EXPECT_EQ(c.dark ? 1 : 0, dibReads) << "recoloured copies made";
        HBITMAP drawn = c.dark ? banner.darkBannerBitmap : banner.bannerBitmap;
        ASSERT_NE(nullptr, drawn);
        Pixels bitmap = PixelsOf(drawn, 136, 41);

        EXPECT_EQ(c.background, shown[0]);
        EXPECT_EQ(c.background, shown[size.cx * size.cy - 1]);
        for (int y = top + kBelowVersion; y < top + 41; ++y) {
            for (int x = left; x < size.cx; ++x) {
                DWORD expected = x < left + 136 ? bitmap[(y - top) * 136 + x - left] : c.background;
                ASSERT_EQ(expected, shown[y * size.cx + x]) << "x " << x << ", y " << y;
            }
        }
        int titlePixels = 0;
        for (int y = 0; y < size.cy; ++y) {
            for (int x = 0; x < 150; ++x)
                titlePixels += c.isTitle(shown[y * size.cx + x]);
        }
        EXPECT_GT(titlePixels, 20);
    }
    CloseWithCloseBox(dialog);
    EXPECT_EQ(0, FinishUiThread(run));
}

}  // namespace
