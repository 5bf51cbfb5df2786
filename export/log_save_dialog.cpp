// "Save the log": the Save dialog, then the export into the chosen file.
#include "export/log_export.h"

#include <commdlg.h>

#include "app/error_box.h"
#include "common/text_file_dialog.h"

void SaveLog(HWND owner)
{
    WCHAR name[MAX_PATH];
    // No question before replacing a file.
    if (!AskTextFileName(owner, OFN_PATHMUSTEXIST, name))
        return;
    // Unlike a silent end, the box tells the user that the file is missing
    // or cut; it comes after the file was closed.
    if (!WriteLogExport(name))
        ShowErrorBox(owner, GetLastError(), logExport.failedFile, logExport.failedLine);
}
