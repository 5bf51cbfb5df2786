#include "test_support/ui_driver.h"

#include <richedit.h>

#include <vector>

namespace {

const WCHAR kInvokerClass[] = L"QvTestInvoker";
const UINT kInvokeMessage = WM_APP + 1;

LRESULT CALLBACK InvokerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kInvokeMessage) {
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

DWORD WINAPI UiThreadProc(LPVOID parameter)
{
    UiDialogRun* run = static_cast<UiDialogRun*>(parameter);
    run->invoker = CreateWindowExW(0, kInvokerClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                   nullptr, GetModuleHandleW(nullptr), nullptr);
    run->result = run->body();
    DestroyWindow(run->invoker);
    return 0;
}

// The first visible top-level window of this process that `matches`.
HWND FindOwnWindow(const std::function<bool(HWND)>& matches)
{
    struct Search { const std::function<bool(HWND)>* matches; HWND found; } search = {&matches, nullptr};
    EnumWindows([](HWND window, LPARAM parameter) -> BOOL {
        Search* s = reinterpret_cast<Search*>(parameter);
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        if (processId != GetCurrentProcessId() || !IsWindowVisible(window) || !(*s->matches)(window))
            return TRUE;
        s->found = window;
        return FALSE;
    }, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool IsOwnedWindowOfClass(HWND window, const WCHAR* className, HWND owner)
{
    WCHAR name[256];
    return (owner == nullptr || GetWindow(window, GW_OWNER) == owner) &&
           (className == nullptr || (GetClassNameW(window, name, 256) && lstrcmpiW(name, className) == 0));
}

// Several dialogs may be open (a Save dialog, say): a message box is the one
// with the static text control 0xFFFF.
HWND FindDialog(HWND owner, bool messageBox)
{
    return FindOwnWindow([=](HWND window) {
        return IsOwnedWindowOfClass(window, L"#32770", owner) && (GetDlgItem(window, 0xFFFF) != nullptr) == messageBox;
    });
}

UINT IconOfMessageBox(HWND box)
{
    static const struct { LPCWSTR resource; UINT style; } kIcons[] = {
        {IDI_ASTERISK, MB_ICONINFORMATION}, {IDI_HAND, MB_ICONERROR},
        {IDI_EXCLAMATION, MB_ICONWARNING}, {IDI_QUESTION, MB_ICONQUESTION},
    };
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
            continue;
        HICON icon = (HICON)SendMessageW(child, STM_GETICON, 0, 0);
        for (const auto& known : kIcons) {
            if (icon != nullptr && icon == LoadIconW(nullptr, known.resource))
                return known.style;
        }
    }
    return 0;
}

HWND FindSaveDialog(HWND owner, DWORD timeoutMs)
{
    HWND found = nullptr;
    return WaitUntil([&] { return (found = FindDialog(owner, false)) != nullptr; }, timeoutMs) ? found : nullptr;
}

void PostCommand(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return condition();
        Sleep(5);
    }
}

UiDialogRun* StartModalDialog(int templateId, DLGPROC proc, LPARAM param, HWND owner)
{
    return StartUiThread([=] {
        return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId), owner, proc, param);
    });
}

UiDialogRun* StartUiThread(const std::function<INT_PTR()>& body)
{
    static bool registered = false;
    if (!registered) {
        WNDCLASSW invokerClass = {};
        invokerClass.lpfnWndProc = InvokerProc;
        invokerClass.hInstance = GetModuleHandleW(nullptr);
        invokerClass.lpszClassName = kInvokerClass;
        RegisterClassW(&invokerClass);
        registered = true;
    }
    UiDialogRun* run = new UiDialogRun;
    run->body = body;
    run->thread = CreateThread(nullptr, 0, UiThreadProc, run, 0, &run->threadId);
    WaitUntil([run] { return run->invoker != nullptr || WaitForSingleObject(run->thread, 0) == WAIT_OBJECT_0; });
    return run;
}

INT_PTR FinishUiThread(UiDialogRun* run, DWORD timeoutMs)
{
    if (run == nullptr)
        return -2;
    if (WaitForSingleObject(run->thread, timeoutMs) != WAIT_OBJECT_0)
        return -2;
    CloseHandle(run->thread);
    INT_PTR result = run->result;
    delete run;
    return result;
}

void RunOnUiThread(UiDialogRun* run, const std::function<void()>& call)
{
    SendMessageW(run->invoker, kInvokeMessage, 0, reinterpret_cast<LPARAM>(&call));
}

HWND FindTopWindow(const WCHAR* className, const WCHAR* title, HWND owner)
{
    return FindOwnWindow([=](HWND window) {
        return IsOwnedWindowOfClass(window, className, owner) && (title == nullptr || WindowText(window) == title);
    });
}

HWND WaitForWindow(const WCHAR* className, const WCHAR* title, HWND owner, DWORD timeoutMs)
{
    HWND found = nullptr;
    return WaitUntil([&] { return (found = FindTopWindow(className, title, owner)) != nullptr; }, timeoutMs)
               ? found : nullptr;
}

bool WaitForWindowGone(HWND window, DWORD timeoutMs)
{
    return WaitUntil([window] { return !IsWindow(window); }, timeoutMs);
}

std::vector<std::wstring> RichEditLines(HWND control)
{
    GETTEXTLENGTHEX lengthQuery = {GTL_NUMCHARS | GTL_PRECISE, 1200};
    std::vector<WCHAR> text(SendMessageW(control, EM_GETTEXTLENGTHEX, (WPARAM)&lengthQuery, 0) + 1);
    GETTEXTEX query = {(DWORD)(text.size() * sizeof(WCHAR)), GT_DEFAULT, 1200, nullptr, nullptr};
    SendMessageW(control, EM_GETTEXTEX, (WPARAM)&query, (LPARAM)text.data());
    std::vector<std::wstring> lines(1);
    for (const WCHAR* c = text.data(); *c != L'\0'; ++c) {
        if (*c == L'\r')
            lines.emplace_back();
        else if (*c != L'\n')
            lines.back() += *c;
    }
    if (lines.back().empty())
        lines.pop_back();
    return lines;
}

std::wstring WindowText(HWND window)
{
    int length = GetWindowTextLengthW(window);
    std::vector<WCHAR> text(length + 2);
    GetWindowTextW(window, text.data(), length + 1);
    return text.data();
}

std::wstring ItemText(HWND dialog, int id)
{
    return WindowText(GetDlgItem(dialog, id));
}

void ClickButton(HWND dialog, int id)
{
    PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void ChooseComboItem(HWND dialog, int id, int index)
{
    HWND combo = GetDlgItem(dialog, id);
    SendMessageW(combo, CB_SETCURSEL, index, 0);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), (LPARAM)combo);
}

void TypeText(HWND dialog, int id, const WCHAR* text)
{
    // WM_SETTEXT makes an edit control send EN_CHANGE, as typing does.
    SendMessageW(GetDlgItem(dialog, id), WM_SETTEXT, 0, (LPARAM)text);
}

HWND FocusOf(HWND window)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

void PressKey(HWND window, UINT virtualKey)
{
    HWND target = FocusOf(window) ? FocusOf(window) : window;
    UINT scan = MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
    PostMessageW(target, WM_KEYDOWN, virtualKey, 1 | (scan << 16));
    if (virtualKey == VK_RETURN || virtualKey == VK_ESCAPE)
        PostMessageW(target, WM_CHAR, virtualKey == VK_RETURN ? L'\r' : 0x1B, 1 | (scan << 16));
    PostMessageW(target, WM_KEYUP, virtualKey, 1 | (scan << 16) | 0xC0000000u);
}

void CloseWithCloseBox(HWND window)
{
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
}

bool WaitForMessageBox(MessageBoxSeen* seen, HWND owner, DWORD timeoutMs)
{
    HWND box = nullptr;
    if (!WaitUntil([&] { return (box = FindDialog(owner, true)) != nullptr; }, timeoutMs))
        return false;
    seen->window = box;
    seen->caption = WindowText(box);
    seen->text = ItemText(box, 0xFFFF);
    seen->icon = IconOfMessageBox(box);
    return true;
}

bool PressMessageBoxButton(const MessageBoxSeen& box, int buttonId)
{
    PostCommand(box.window, buttonId);
    return WaitForWindowGone(box.window);
}

bool AnswerSaveDialog(HWND owner, const WCHAR* path, DWORD timeoutMs)
{
    HWND dialog = FindSaveDialog(owner, timeoutMs);
    if (dialog == nullptr)
        return false;
    // The file name box: combo cmb13 (explorer style) or edit edt1 (old style).
    HWND name = GetDlgItem(dialog, 0x47C) ? GetDlgItem(dialog, 0x47C) : GetDlgItem(dialog, 0x480);
    if (name == nullptr)
        return false;
    SendMessageW(name, WM_SETTEXT, 0, (LPARAM)path);
    PostCommand(dialog, IDOK);
    return true;
}

bool CancelSaveDialog(HWND owner, DWORD timeoutMs)
{
    HWND dialog = FindSaveDialog(owner, timeoutMs);
    if (dialog == nullptr)
        return false;
    PostCommand(dialog, IDCANCEL);
    return WaitForWindowGone(dialog);
}

SIZE ClientSize(HWND window)
{
    RECT client = {};
    GetClientRect(window, &client);
    return SIZE{client.right, client.bottom};
}

RECT ChildRect(HWND dialog, int id)
{
    RECT rect = {};
    GetWindowRect(GetDlgItem(dialog, id), &rect);
    MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}
