/* The watcher's floor: all a watcher must do at log-on and no more. It makes
   the ready event, starts launcher.exe beside it, waits until the launcher
   is ready or ends, then for its end. C, with no C++ run-time. */

#include <windows.h>

#include <wchar.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int show)
{
    wchar_t dir[MAX_PATH], launcher[MAX_PATH], commandLine[MAX_PATH + 2];
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    HANDLE ready, waits[2];
    (void)instance, (void)previous, (void)arguments, (void)show;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);

    GetModuleFileNameW(NULL, dir, MAX_PATH);
    *wcsrchr(dir, L'\\') = L'\0';
    _snwprintf(launcher, MAX_PATH, L"%ls\\launcher.exe", dir);
    _snwprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", launcher);
    ready = CreateEventW(NULL, TRUE, FALSE, L"ShellIsReadyEvent");
    if (!CreateProcessW(launcher, commandLine, NULL, NULL, FALSE, 0, NULL, dir, &startup, &process))
        return 1;
    waits[0] = process.hProcess;
    waits[1] = ready;
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(ready);
    return 0;
}
