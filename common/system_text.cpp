#include "common/system_text.h"

#include "common/wide_format.h"

void FormatSystemText(DWORD error, WCHAR* text, size_t units)
{
    WCHAR* description = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  nullptr, error, 0, (LPWSTR)&description, 0, nullptr);
    while (length > 0 && (description[length - 1] == L'\r' || description[length - 1] == L'\n'))
        description[--length] = L'\0';
    FormatTruncating(text, units, L"%s", length > 0 ? description : L"no description available");
    LocalFree(description);
}
