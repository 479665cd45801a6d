#include "boxes.h"

#include "Library.h"
#include "UniqueHandle.h"

namespace {

constexpr DWORD kPollMs = 200;
constexpr wchar_t kDialogClass[] = L"#32770"; // a message box's window class

// The box that shows, for its timer: a timer procedure gets no argument of
// ours, so what it needs lies here, for the one box at a time the watcher shows.
struct ShownBox {
    BoxEnd end;
    DWORD shownAt = 0;
    decltype(&EnumThreadWindows) enumThreadWindows = nullptr;
    decltype(&GetClassNameW) getClassName = nullptr;
    decltype(&EndDialog) endDialog = nullptr;
} g_Shown;

BOOL CALLBACK EndBox(HWND window, LPARAM)
{
    wchar_t windowClass[16] = L"";
    g_Shown.getClassName(window, windowClass, 16);
    if (lstrcmpW(windowClass, kDialogClass) == 0)
        g_Shown.endDialog(window, kDismissed);
    return TRUE;
}

// On the box's own thread: its modal loop dispatches the timer.
void CALLBACK PollBox(HWND, UINT, UINT_PTR, DWORD)
{
    const BoxEnd &end = g_Shown.end;
    const bool signalled = end.count > 0 && WaitForMultipleObjects(end.count, end.handles, FALSE, 0) < end.count;
    if (signalled || (end.limitMs != INFINITE && GetTickCount() - g_Shown.shownAt >= end.limitMs))
        g_Shown.enumThreadWindows(GetCurrentThreadId(), EndBox, 0);
}

} // namespace

int ShowBox(const std::wstring &text, const wchar_t *caption, UINT style, const BoxEnd &end)
{
    const UniqueModule user32(LoadSystemLibrary(L"user32.dll"));
    const HMODULE module = user32.get();
    const auto messageBox = ExportOf<decltype(&MessageBoxW)>(module, "MessageBoxW");
    const auto setTimer = ExportOf<decltype(&SetTimer)>(module, "SetTimer");
    const auto killTimer = ExportOf<decltype(&KillTimer)>(module, "KillTimer");
    g_Shown.end = end;
    g_Shown.shownAt = GetTickCount();
    g_Shown.enumThreadWindows = ExportOf<decltype(&EnumThreadWindows)>(module, "EnumThreadWindows");
    g_Shown.getClassName = ExportOf<decltype(&GetClassNameW)>(module, "GetClassNameW");
    g_Shown.endDialog = ExportOf<decltype(&EndDialog)>(module, "EndDialog");
    if (messageBox == nullptr || setTimer == nullptr || killTimer == nullptr || g_Shown.enumThreadWindows == nullptr ||
        g_Shown.getClassName == nullptr || g_Shown.endDialog == nullptr)
        return 0;
    const UINT_PTR timer = setTimer(nullptr, 0, kPollMs, PollBox);
    const int answer = messageBox(nullptr, text.c_str(), caption, style);
    if (timer != 0)
        killTimer(nullptr, timer);
    return answer;
}
