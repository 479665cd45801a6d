// shellctl: makes an installation the user's shell and undoes it, and
// controls a running shell from a terminal. It lies beside launcher.exe and
// componentcheck.exe in an installation.

#include "install.h"

#include "Installation.h"
#include "MainThread.h"
#include "UniqueHandle.h"
#include "contract.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

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
        if (_stricmp(process.szExeFile, contract::kLauncherFile) == 0)
            launchers.push_back(process.th32ProcessID);
    }
    return launchers;
}

constexpr DWORD kWatchMs = 200;
constexpr UINT kEndedExitCode = 1; // of a launcher ended because it did not quit
constexpr char kDialogClass[] = "#32770"; // a message box's window class
constexpr int kMessageTextId = 0xFFFF;   // its text's control

// The message boxes the launchers show: under Wine's null display nobody
// sees them, so they are said on the terminal.
struct BoxSearch {
    std::vector<DWORD> launchers;
    std::vector<HWND> boxes;
};

static BOOL CALLBACK CollectBox(HWND window, LPARAM context)
{
    auto &search = *reinterpret_cast<BoxSearch *>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char windowClass[16] = "";
    GetClassNameA(window, windowClass, sizeof(windowClass));
    for (DWORD launcher : search.launchers) {
        if (process == launcher && IsWindowVisible(window) && strcmp(windowClass, kDialogClass) == 0)
            search.boxes.push_back(window);
    }
    return TRUE;
}

static std::vector<HWND> LauncherBoxes()
{
    BoxSearch search{Launchers(), {}};
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
    return search.boxes;
}

// "Caption": text, on one line.
static std::string BoxText(HWND box)
{
    char caption[256] = "", text[1024] = "";
    GetWindowTextA(box, caption, sizeof(caption));
    GetDlgItemTextA(box, kMessageTextId, text, sizeof(text));
    for (char &c : text)
        c = c == '\n' || c == '\r' ? ' ' : c;
    return std::string("\"") + caption + "\": " + text;
}

// Says each box not said before, with how to answer it.
static void SayNewBoxes(std::set<HWND> &said)
{
    for (HWND box : LauncherBoxes()) {
        if (!said.insert(box).second)
            continue;
        printf("launcher.exe shows a box %s\n", BoxText(box).c_str());
    }
}

// Waits until the shell is ready, then watches its boxes until no launcher
// runs; a shell not ready in time is said, with who holds it.
static int WaitReady(DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    bool ready = false;
    std::set<HWND> said;
    while (!ready && GetTickCount() - start <= timeoutMs) {
        if (const UniqueHandle event{OpenEventA(SYNCHRONIZE, FALSE, contract::kShellReadyEvent)}) {
            ready = WaitForSingleObject(event.get(), kWatchMs) == WAIT_OBJECT_0;
        } else {
            Sleep(kWatchMs);
        }
        SayNewBoxes(said);
    }
    if (ready) {
        printf("shell ready: ShellIsReadyEvent set\n");
    } else {
        // Start-up reads no messages while it waits: say who holds it, and the way out.
        for (DWORD launcher : Launchers())
            printf("the shell is not ready after %lu s: %s\n", timeoutMs / 1000,
                   installation::HeldBy(launcher).c_str());
    }
    while (!Launchers().empty()) {
        SayNewBoxes(said);
        Sleep(kWatchMs);
    }
    return ready ? 0 : 1;
}

// Asks every launcher to quit; with forceAfterMs, ends those still running
// that long after (one held at start-up reads no messages).
static int QuitLaunchers(DWORD forceAfterMs)
{
    const std::vector<DWORD> launchers = Launchers();
    if (launchers.empty()) {
        printf("no launcher.exe runs: nothing to stop\n");
        return 0;
    }
    int posted = 0;
    for (DWORD launcher : launchers)
        posted += PostThreadMessageA(MainThreadOf(launcher), WM_QUIT, 0, 0) ? 1 : 0;
    printf("asked %d launcher%s to quit\n", posted, posted == 1 ? "" : "s");
    if (forceAfterMs == 0)
        return posted > 0 ? 0 : 1;
    // A notice box holds the stop until answered: answer it, then end what is still running.
    const DWORD start = GetTickCount();
    while (!Launchers().empty() && GetTickCount() - start < forceAfterMs) {
        for (HWND box : LauncherBoxes()) {
            if (HWND ok = GetDlgItem(box, IDOK)) {
                const std::string said = BoxText(box);
                SendMessageA(ok, BM_CLICK, 0, 0);
                printf("answered the box %s\n", said.c_str());
            }
        }
        Sleep(kWatchMs);
    }
    for (DWORD launcher : Launchers()) {
        const UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, launcher));
        if (process && TerminateProcess(process.get(), kEndedExitCode))
            printf("launcher.exe (process %lu) did not quit within %lu s: ended it (exit code %u)\n", launcher,
                   forceAfterMs / 1000, kEndedExitCode);
    }
    return 0;
}

static int Running()
{
    const std::vector<DWORD> launchers = Launchers();
    for (DWORD launcher : launchers)
        printf("launcher.exe runs as process %lu\n", launcher);
    return launchers.empty() ? 1 : 0;
}

constexpr char kUsageText[] =
    "usage: shellctl <command>\n"
    "  install [--all-users] [--force] [--direct] [--restarts N] [--ready-timeout S] [--min-run S]\n"
    "          [DIR] [-- SWITCHES]            makes the installation in DIR (default: this program's\n"
    "                                         directory) the shell at log-on, once it passes its checks,\n"
    "                                         started by shellwatch.exe (--direct: launcher.exe itself)\n"
    "                                         with the launcher switches after --\n"
    "  uninstall [--all-users]                puts back the shell that was set before install\n"
    "  status                                 which shell starts at the next log-on, and whether it is this one\n"
    "  running                                exit code 0 when a launcher.exe runs, else 1\n"
    "  quit [--force-after ms]                asks every running launcher.exe to quit; ends those\n"
    "                                         still running that long after\n"
    "  ready [ms]                             waits until the shell is ready (default 60000 ms)\n"
    "  --help, --version\n";

static bool Is(const char *argument, const char *name)
{
    return argument != nullptr && strcmp(argument, name) == 0;
}

// A decimal number of seconds or restarts, as the watcher reads them.
static bool IsNumber(const char *text)
{
    constexpr size_t kMaxDigits = 9;
    const size_t length = strlen(text);
    return length > 0 && length <= kMaxDigits && strspn(text, "0123456789") == length;
}

// An argument as it goes on a command line: quoted when it holds a blank.
static std::string Quoted(const char *argument)
{
    return strpbrk(argument, " \t") != nullptr ? std::string("\"") + argument + "\"" : argument;
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
    if (Is(command, "quit")) {
        if (argc == 2)
            return QuitLaunchers(0);
        if (argc == 4 && Is(argv[2], "--force-after"))
            return QuitLaunchers(strtoul(argv[3], nullptr, 10));
        fprintf(stderr, "%s", kUsageText);
        return kUsage;
    }
    if (Is(command, "running"))
        return Running();
    if (Is(command, "status") && argc == 2)
        return Status();
    if (Is(command, "install") || Is(command, "uninstall")) {
        const bool install = Is(command, "install");
        bool allUsers = false, force = false;
        InstallOptions options;
        const char *dir = nullptr;
        for (int i = 2; i < argc; ++i) {
            std::string *number = !install                        ? nullptr
                                  : Is(argv[i], "--restarts")      ? &options.restarts
                                  : Is(argv[i], "--ready-timeout") ? &options.readyTimeout
                                  : Is(argv[i], "--min-run")       ? &options.minRun
                                                                   : nullptr;
            if (Is(argv[i], "--all-users")) {
                allUsers = true;
            } else if (Is(argv[i], "--force") && install) {
                force = true;
            } else if (Is(argv[i], "--direct") && install) {
                options.direct = true;
            } else if (number != nullptr && i + 1 < argc && IsNumber(argv[i + 1])) {
                *number = argv[++i];
            } else if (Is(argv[i], "--") && install) {
                for (++i; i < argc; ++i)
                    options.switches += (options.switches.empty() ? "" : " ") + Quoted(argv[i]);
            } else if (argv[i][0] != '-' && dir == nullptr && install) {
                dir = argv[i];
            } else {
                fprintf(stderr, "shellctl: %s: unexpected argument %s\n%s", command, argv[i], kUsageText);
                return kUsage;
            }
        }
        if (options.direct && !(options.restarts.empty() && options.readyTimeout.empty() && options.minRun.empty())) {
            fprintf(stderr, "shellctl: install: --direct starts no watcher: --restarts, --ready-timeout and "
                            "--min-run are the watcher's\n");
            return kUsage;
        }
        return install ? Install(dir, allUsers, force, options) : Uninstall(allUsers);
    }
    fprintf(stderr, "%s", kUsageText);
    return kUsage;
}
