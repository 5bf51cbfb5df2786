// Drives dialogs running their own modal loop on a UI thread, as a user
// would. Every wait polls a condition and gives up after a timeout.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#define UI_WAIT_MS 30000   // a hang guard: every wait ends as soon as its condition holds

// Waits until `condition` holds, polling every few milliseconds; FALSE on timeout.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = UI_WAIT_MS);

// A modal dialog running on its own thread.
struct UiDialogRun {
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    INT_PTR result = -2;
    HWND invoker = nullptr;     // message-only window of the UI thread
    std::function<INT_PTR()> body;
};

// Runs template `templateId` of the test executable with `proc` on a new UI
// thread; end it with FinishUiThread.
UiDialogRun* StartModalDialog(int templateId, DLGPROC proc, LPARAM param, HWND owner = nullptr);
// Runs `body` (which runs its own modal loop) on a new UI thread.
UiDialogRun* StartUiThread(const std::function<INT_PTR()>& body);
// Waits for the UI thread to end; returns the body's result, or -2 on timeout
// (the run is then leaked rather than freed under a running thread).
INT_PTR FinishUiThread(UiDialogRun* run, DWORD timeoutMs = UI_WAIT_MS);

// A visible top-level window of this process whose class and title match
// (null: any) and whose owner is `owner` (null: any owner), waiting for it.
HWND WaitForWindow(const WCHAR* className, const WCHAR* title, HWND owner = nullptr,
                   DWORD timeoutMs = UI_WAIT_MS);
// Same, but returns at once (null when none).
HWND FindTopWindow(const WCHAR* className, const WCHAR* title, HWND owner = nullptr);
// Waits until `window` no longer exists.
bool WaitForWindowGone(HWND window, DWORD timeoutMs = UI_WAIT_MS);

std::wstring WindowText(HWND window);
// A rich-edit control's text, one string per line (the empty paragraph that
// ends every rich text left out).
std::vector<std::wstring> RichEditLines(HWND control);
std::wstring ItemText(HWND dialog, int id);

// Posts BM_CLICK, so a modal box the click opens does not block the test.
void ClickButton(HWND dialog, int id);
// Selects item `index` of a drop-down list, with CBN_SELCHANGE.
void ChooseComboItem(HWND dialog, int id, int index);
// Replaces an edit control's text; the dialog sees EN_CHANGE.
void TypeText(HWND dialog, int id, const WCHAR* text);
// Presses and releases a key in the focused control of `window`'s thread.
void PressKey(HWND window, UINT virtualKey);
// The focused window of the thread that owns `window`.
HWND FocusOf(HWND window);
// Posts WM_CLOSE, as the close box does.
void CloseWithCloseBox(HWND window);
// Runs `call` on the run's UI thread between messages of its loop.
void RunOnUiThread(UiDialogRun* run, const std::function<void()>& call);

// A message box as the user sees it.
struct MessageBoxSeen {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;
    UINT icon = 0;   // MB_ICONINFORMATION, MB_ICONERROR, MB_ICONWARNING, MB_ICONQUESTION or 0
};
// Waits for a message box owned by `owner` (null: any) and reads it.
bool WaitForMessageBox(MessageBoxSeen* seen, HWND owner = nullptr, DWORD timeoutMs = UI_WAIT_MS);
// Presses one of its buttons (IDOK, IDYES, ...) and waits until it is gone.
bool PressMessageBoxButton(const MessageBoxSeen& box, int buttonId);

// The common Save dialog: enters `path` as the file name and presses Save.
bool AnswerSaveDialog(HWND owner, const WCHAR* path, DWORD timeoutMs = UI_WAIT_MS);
// Presses Cancel in the common Save dialog.
bool CancelSaveDialog(HWND owner, DWORD timeoutMs = UI_WAIT_MS);

// Client rectangle size in pixels.
SIZE ClientSize(HWND window);
// Rectangle of a child control in its parent's client coordinates.
RECT ChildRect(HWND dialog, int id);
