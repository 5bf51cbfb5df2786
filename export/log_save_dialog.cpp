// "Save the log": the Save dialog, then the export into the chosen file.
#include "export/log_export.h"

#include <commdlg.h>

#include "app/error_box.h"

namespace {

// "Text file", "*.txt", "*.*" and the empty string that ends the list.
const WCHAR kFilter[] = L"Text file\0*.txt\0*.*\0";

}  // namespace

void SaveLog(HWND owner)
{
    WCHAR name[MAX_PATH] = L"";
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = kFilter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = name;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrDefExt = L"txt";
    dialog.Flags = OFN_PATHMUSTEXIST;
    if (GetSaveFileNameW(&dialog) != 1)
        return;
    // Unlike a silent end, the box tells the user that the file is missing
    // or cut; it comes after the file was closed.
    if (!WriteLogExport(name))
        ShowErrorBox(owner, GetLastError(), logExport.failedFile, logExport.failedLine);
}
