// shellctl: makes an installation the user's shell and undoes it, and
// controls a running shell from a terminal. It lies beside launcher.exe and
// componentcheck.exe in an installation.

#include "install.h"

#include "MainThread.h"
#include "UniqueHandle.h"

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
    // A failed snapshot is INVALID_HANDLE_VALUE, as for a file.
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return launchers;
    PROCESSENTRY32 process;
    process.dwSize = sizeof(process);
    for (BOOL ok = Process32First(snapshot.get(), &process); ok; ok = Process32Next(snapshot.get(), &process)) {
        if (_stricmp(process.szExeFile, "launcher.exe") == 0)
            launchers.push_back(process.th32ProcessID);
    }
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

constexpr char kUsageText[] =
    "usage: shellctl <command>\n"
    "  install [--all-users] [--force] [DIR]  makes the installation in DIR (default: this program's\n"
    "                                         directory) the shell at log-on, once it passes its checks\n"
    "  uninstall [--all-users]                puts back the shell that was set before install\n"
    "  status                                 which shell starts at the next log-on, and whether it is this one\n"
    "  running                                exit code 0 when a launcher.exe runs, else 1\n"
    "  quit                                   asks every running launcher.exe to quit\n"
    "  ready [ms]                             waits until the shell is ready (default 60000 ms)\n"
    "  --help, --version\n";

static bool Is(const char *argument, const char *name)
{
    return argument != nullptr && strcmp(argument, name) == 0;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    const char *command = argc >= 2 ? argv[1] : nullptr;
    if (Is(command, "--help") || Is(command, "-h") || Is(command, "/?")) {
        printf("%s", kUsageText);
        return kDone;
    }
    if (Is(command, "--version")) {
        printf("shellctl %s\n", PROJECT_VERSION);
        return kDone;
    }
    if (Is(command, "ready"))
        return WaitReady(argc >= 3 ? strtoul(argv[2], nullptr, 10) : 60000);
    if (Is(command, "quit"))
        return QuitLaunchers();
    if (Is(command, "running"))
        return Running();
    if (Is(command, "status") && argc == 2)
        return Status();
    if (Is(command, "install") || Is(command, "uninstall")) {
        bool allUsers = false, force = false;
        const char *dir = nullptr;
        for (int i = 2; i < argc; ++i) {
            if (Is(argv[i], "--all-users")) {
                allUsers = true;
            } else if (Is(argv[i], "--force") && Is(command, "install")) {
                force = true;
            } else if (argv[i][0] != '-' && dir == nullptr && Is(command, "install")) {
                dir = argv[i];
            } else {
                fprintf(stderr, "shellctl: %s: unexpected argument %s\n%s", command, argv[i], kUsageText);
                return kUsage;
            }
        }
        return Is(command, "install") ? Install(dir, allUsers, force) : Uninstall(allUsers);
    }
    fprintf(stderr, "%s", kUsageText);
    return kUsage;
}
