// shellctl: a console helper for running the shell from a terminal.
//   shellctl ready [ms]  waits until "ShellIsReadyEvent" is set, and says so
//   shellctl quit        posts WM_QUIT to the main thread of every launcher.exe
//   shellctl running     exit code 0 when a launcher.exe runs, else 1

#include "MainThread.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

static int WaitReady(DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (HANDLE ready = OpenEventA(SYNCHRONIZE, FALSE, "ShellIsReadyEvent")) {
            const DWORD result = WaitForSingleObject(ready, timeoutMs);
            CloseHandle(ready);
            if (result == WAIT_OBJECT_0) {
                printf("[run] shell ready: ShellIsReadyEvent set\n");
                return 0;
            }
            return 1;
        }
        if (GetTickCount() - start > timeoutMs)
            return 1;
        Sleep(20);
    }
}

// The process ids of every launcher.exe running.
static std::vector<DWORD> Launchers()
{
    std::vector<DWORD> launchers;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 process;
    process.dwSize = sizeof(process);
    for (BOOL ok = Process32First(snapshot, &process); ok; ok = Process32Next(snapshot, &process)) {
        if (_stricmp(process.szExeFile, "launcher.exe") == 0)
            launchers.push_back(process.th32ProcessID);
    }
    CloseHandle(snapshot);
    return launchers;
}

static int QuitLaunchers()
{
    int posted = 0;
    for (DWORD launcher : Launchers())
        posted += PostThreadMessageA(MainThreadOf(launcher), WM_QUIT, 0, 0) ? 1 : 0;
    printf("[run] asked %d launcher%s to quit\n", posted, posted == 1 ? "" : "s");
    return posted > 0 ? 0 : 1;
}

static int Running()
{
    const std::vector<DWORD> launchers = Launchers();
    for (DWORD launcher : launchers)
        printf("[run] launcher.exe runs as process %lu\n", launcher);
    return launchers.empty() ? 1 : 0;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc >= 2 && strcmp(argv[1], "ready") == 0)
        return WaitReady(argc >= 3 ? strtoul(argv[2], nullptr, 10) : 60000);
    if (argc >= 2 && strcmp(argv[1], "quit") == 0)
        return QuitLaunchers();
    if (argc >= 2 && strcmp(argv[1], "running") == 0)
        return Running();
    fprintf(stderr, "usage: shellctl ready [ms] | shellctl quit | shellctl running\n");
    return 2;
}
