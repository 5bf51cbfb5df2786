#include "app/error_box.h"

#include "common/wide_format.h"

void ShowErrorBox(HWND owner, DWORD error, const char* sourceFile, int sourceLine)
{
    WCHAR caption[FORMAT_TEXT_UNITS];
    FormatText1024(caption, L"%hs(%d)", sourceFile, sourceLine);

    // No arguments are passed: a text with inserts (%1) is shown as it is.
    WCHAR* systemText = nullptr;
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, 0, (WCHAR*)&systemText, 0, nullptr);

    WCHAR text[FORMAT_TEXT_UNITS];
    // Not every code has a system text; the box must still say something.
    FormatText1024(text, L"0x%08X - %s", error,
                   systemText != nullptr ? systemText : L"no description available");
    MessageBoxW(owner, text, caption, MB_ICONINFORMATION);
    LocalFree(systemText);
}
