// The header banner of the main dialog, the owner-drawn static 1040: the
// title on the left, the version at the top right and bitmap 104 at the
// right, on white in the light app theme and on DarkWindowColor with a
// recoloured copy of the bitmap in the dark one. GUI thread only.
#pragma once

#include <windows.h>

#define BANNER_MARGIN 10    // title from the left, bitmap from the right edge

struct BannerState {
    HBITMAP bannerBitmap = nullptr;     // bitmap 104, from set-up to teardown
    int bannerWidth = 0;                // its size; 0 when not loaded
    int bannerHeight = 0;
    HFONT bannerTitleFont = nullptr;    // bold title font, from set-up to teardown
    HBITMAP darkBannerBitmap = nullptr; // the recoloured copy, kept until the process ends
    HBITMAP darkBannerSource = nullptr; // the bitmap it was made from
};
extern BannerState banner;

// At the main dialog's WM_INITDIALOG: loads bitmap 104 and creates the title
// font. Either may stay null; the banner then does without.
void SetUpBanner();

// Paints the whole banner into the item's device context (WM_DRAWITEM).
void DrawBanner(const DRAWITEMSTRUCT* item);

// The bitmap to draw in the dark theme: the kept copy when `bitmap` is the
// one it was made from, else a new copy (replacing the kept one), or `bitmap`
// itself when no copy can be made (tried again at the next call).
HBITMAP RecolorForDark(HBITMAP bitmap);

// At the main dialog's WM_DESTROY: deletes the bitmap and the title font.
// The recoloured copy stays.
void TearDownBanner();
