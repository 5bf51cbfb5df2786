#include "common/text_file_dialog.h"

#include <commdlg.h>

BOOL AskTextFileName(HWND owner, DWORD flags, WCHAR* path)
{
    // "Text file", "*.txt", "*.*" and the empty string that ends the list.
    static const WCHAR kFilter[] = L"Text file\0*.txt\0*.*\0";
    path[0] = L'\0';
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = kFilter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrDefExt = L"txt";
    dialog.Flags = flags;
    return GetSaveFileNameW(&dialog) == 1;
}
