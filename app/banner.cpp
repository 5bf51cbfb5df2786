#include "app/banner.h"

#include <stddef.h>
#include <wchar.h>

#include "app/main_dialog.h"
#include "common/wide_format.h"
#include "res/resource.h"
#include "theme/theme_palette.h"

BannerState banner;

namespace {

#define BANNER_VERSION_UNITS 128

const COLORREF kLightBackground = RGB(255, 255, 255);
const COLORREF kLightTitle = RGB(0, 0, 0);
const COLORREF kLightVersion = RGB(128, 128, 128);
const COLORREF kDarkVersion = RGB(144, 144, 144);
const int kTitleHeight = -14;
const int kVersionHeight = -9;
const int kVersionTop = 2;      // version line: down from the top...
const int kVersionRight = 4;    // ...and in from the right edge

// NONCLIENTMETRICSW without its last field, the padded border width.
const UINT kMetricsSize = offsetof(NONCLIENTMETRICSW, iPaddedBorderWidth);
static_assert(kMetricsSize == 500, "NONCLIENTMETRICSW size without the padded border");

// One pixel (blue, green, red, fourth byte kept) laid from white over the
// dark background: its colour with the white taken out, dark greys (text and
// outlines) turned light, then blended onto 32 with its coverage.
void RecolorPixel(BYTE* pixel)
{
    int mn = pixel[0], mx = pixel[0];
    for (int c = 1; c < 3; ++c) {
        mn = pixel[c] < mn ? pixel[c] : mn;
        mx = pixel[c] > mx ? pixel[c] : mx;
    }
    int a = 255 - mn;
    if (a == 0) {
        pixel[0] = pixel[1] = pixel[2] = 32;
        return;
    }
    int s[3];
    for (int c = 0; c < 3; ++c) {
        s[c] = 255 + (255 * (pixel[c] - 255)) / a;
        if (s[c] < 0)
            s[c] = 0;
    }
    if (mx - mn < 48 && s[0] + s[1] + s[2] < 300)
        s[0] = s[1] = s[2] = 232;
    for (int c = 0; c < 3; ++c)
        pixel[c] = (BYTE)(((s[c] - 32) * a + 8160) / 255);
}

// A recoloured copy of `bitmap`, or null.
HBITMAP MakeDarkCopy(HBITMAP bitmap)
{
    BITMAP info;
    if (GetObjectW(bitmap, sizeof(info), &info) == 0 || info.bmWidth <= 0 || info.bmHeight <= 0)
        return nullptr;
    int w = info.bmWidth, h = info.bmHeight;
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof(header);
    header.biWidth = w;
    header.biHeight = -h;   // rows top-down
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;

    BYTE* pixels = (BYTE*)LocalAlloc(LMEM_FIXED, (SIZE_T)w * h * 4);
    HDC screen = GetDC(nullptr);
    HBITMAP copy = nullptr;
    if (pixels != nullptr && screen != nullptr &&
        GetDIBits(screen, bitmap, 0, h, pixels, (BITMAPINFO*)&header, DIB_RGB_COLORS) != 0) {
        for (SIZE_T i = 0; i < (SIZE_T)w * h; ++i)
            RecolorPixel(pixels + 4 * i);
        copy = CreateCompatibleBitmap(screen, w, h);
        if (copy != nullptr &&
            SetDIBits(screen, copy, 0, h, pixels, (BITMAPINFO*)&header, DIB_RGB_COLORS) == 0) {
            DeleteObject(copy);
            copy = nullptr;
        }
    }
    if (screen != nullptr)
        ReleaseDC(nullptr, screen);
    if (pixels != nullptr)
        LocalFree(pixels);
    return copy;
}

void DrawBitmap(HDC dc, const RECT& client, BOOL dark)
{
    if (banner.bannerBitmap == nullptr || banner.bannerWidth <= 0 || banner.bannerHeight <= 0)
        return;
    HDC memory = CreateCompatibleDC(dc);
    if (memory == nullptr)
        return;
    HBITMAP bitmap = dark ? RecolorForDark(banner.bannerBitmap) : banner.bannerBitmap;
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(dc, client.right - banner.bannerWidth - BANNER_MARGIN,
           (client.bottom - client.top - banner.bannerHeight) / 2, banner.bannerWidth,
           banner.bannerHeight, memory, 0, 0, SRCCOPY);
    SelectObject(memory, previous);
    DeleteDC(memory);
}

}  // namespace

void SetUpBanner()
{
    banner.bannerBitmap = LoadBitmapW(appInstance, MAKEINTRESOURCEW(IDB_BANNER));
    BITMAP info;
    if (banner.bannerBitmap != nullptr && GetObjectW(banner.bannerBitmap, sizeof(info), &info) != 0) {
        banner.bannerWidth = info.bmWidth;
        banner.bannerHeight = info.bmHeight;
    }
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = kMetricsSize;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, kMetricsSize, &metrics, 0);
    LOGFONTW title = metrics.lfMessageFont;
    title.lfHeight = kTitleHeight;
    title.lfWeight = FW_BOLD;
    banner.bannerTitleFont = CreateFontIndirectW(&title);
}

void DrawBanner(const DRAWITEMSTRUCT* item)
{
    HDC dc = item->hDC;
    BOOL dark = IsDarkTheme();
    RECT client;
    GetClientRect(item->hwndItem, &client);

    HBRUSH background = CreateSolidBrush(dark ? DarkWindowColor : kLightBackground);
    if (background != nullptr) {
        FillRect(dc, &client, background);
        DeleteObject(background);
    }
    DrawBitmap(dc, client, dark);

    HGDIOBJ beforeTitle = SelectObject(dc, banner.bannerTitleFont != nullptr
                                               ? (HGDIOBJ)banner.bannerTitleFont
                                               : GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, dark ? DarkTextColor : kLightTitle);
    RECT title = {client.left + BANNER_MARGIN, client.top, client.right - BANNER_MARGIN, client.bottom};
    DrawTextW(dc, L"Quorvel Tracing", -1, &title, DT_NOPREFIX | DT_SINGLELINE | DT_VCENTER);

    WCHAR version[BANNER_VERSION_UNITS];
    FormatCutting(version, BANNER_VERSION_UNITS, L"Version %S", QV_VERSION_A);
    LOGFONTW versionLook = {};
    versionLook.lfHeight = kVersionHeight;
    wcscpy(versionLook.lfFaceName, L"Segoe UI");
    HFONT versionFont = CreateFontIndirectW(&versionLook);
    HGDIOBJ beforeVersion = SelectObject(dc, versionFont != nullptr ? (HGDIOBJ)versionFont
                                                                    : GetStockObject(DEFAULT_GUI_FONT));
    SetTextColor(dc, dark ? kDarkVersion : kLightVersion);
    RECT line = {client.left, client.top + kVersionTop, client.right - kVersionRight, client.bottom};
    DrawTextW(dc, version, -1, &line, DT_NOPREFIX | DT_SINGLELINE | DT_RIGHT);

    SelectObject(dc, beforeVersion);
    if (versionFont != nullptr)
        DeleteObject(versionFont);
    SelectObject(dc, beforeTitle);
}

HBITMAP RecolorForDark(HBITMAP bitmap)
{
    if (bitmap == banner.darkBannerSource && banner.darkBannerBitmap != nullptr)
        return banner.darkBannerBitmap;
    HBITMAP copy = MakeDarkCopy(bitmap);
    if (copy == nullptr)
        return bitmap;
    if (banner.darkBannerBitmap != nullptr)
        DeleteObject(banner.darkBannerBitmap);
    banner.darkBannerSource = bitmap;
    banner.darkBannerBitmap = copy;
    return copy;
}

void TearDownBanner()
{
    if (banner.bannerBitmap != nullptr) {
        DeleteObject(banner.bannerBitmap);
        banner.bannerBitmap = nullptr;
    }
    banner.bannerWidth = 0;
    banner.bannerHeight = 0;
    if (banner.bannerTitleFont != nullptr) {
        DeleteObject(banner.bannerTitleFont);
        banner.bannerTitleFont = nullptr;
    }
}
