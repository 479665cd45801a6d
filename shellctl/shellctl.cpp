// shellctl: makes an installation the user's shell and undoes it, and
// controls a running shell from a terminal. It lies beside launcher.exe and
// componentcheck.exe in an installation, and acts on that installation's
// launcher processes only.

#include "install.h"

#include "HeldBy.h"
#include "MainThread.h"
#include "Text.h"
#include "UniqueHandle.h"
#include "WatcherOptions.h"
#include "contract.h"

#include <stdlib.h>
#include <wchar.h>

#include <iterator>
#include <set>
#include <string>
#include <vector>

using registration::Installation;
using text::Print;

namespace {

constexpr DWORD kWatchMs = 200;
constexpr DWORD kDefaultReadyMs = 60000;
constexpr UINT kEndedExitCode = 1;          // of a launcher ended because it did not quit
constexpr wchar_t kDialogClass[] = L"#32770"; // a message box's window class
constexpr int kMessageTextId = 0xFFFF;      // its text's control

// The message boxes this installation's launchers show: under Wine's null
// display nobody sees them, so they are said on the terminal.
struct BoxSearch {
    std::vector<DWORD> launchers;
    std::vector<HWND> boxes;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM context)
{
    auto &search = *reinterpret_cast<BoxSearch *>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t windowClass[16] = L"";
    GetClassNameW(window, windowClass, static_cast<int>(std::size(windowClass)));
    for (DWORD launcher : search.launchers) {
        if (process == launcher && IsWindowVisible(window) && wcscmp(windowClass, kDialogClass) == 0)
            search.boxes.push_back(window);
    }
    return TRUE;
}

std::vector<HWND> LauncherBoxes(const Installation &installation)
{
    BoxSearch search{installation.Launchers(), {}};
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
    return search.boxes;
}

// "Caption": text, on one line.
std::wstring BoxText(HWND box)
{
    wchar_t caption[256] = L"", message[1024] = L"";
    GetWindowTextW(box, caption, static_cast<int>(std::size(caption)));
    GetDlgItemTextW(box, kMessageTextId, message, static_cast<int>(std::size(message)));
    for (wchar_t &c : message)
        c = c == L'\n' || c == L'\r' ? L' ' : c;
    return std::wstring(L"\"") + caption + L"\": " + message;
}

// Says each box not said before.
void SayNewBoxes(const Installation &installation, std::set<HWND> &said)
{
    for (HWND box : LauncherBoxes(installation)) {
        if (said.insert(box).second)
            Print(stdout, L"launcher.exe shows a box %ls\n", BoxText(box).c_str());
    }
}

// Waits until the shell is ready, saying its boxes meanwhile; a shell not
// ready in time is said, with what holds it.
int WaitReady(const Installation &installation, DWORD timeoutMs)
{
    const std::wstring eventName = text::FromUtf8(contract::kShellReadyEvent);
    const DWORD start = GetTickCount();
    std::set<HWND> said;
    bool seen = false;
    for (;;) {
        const UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, eventName.c_str()));
        const bool ready = event && WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
        const std::vector<DWORD> launchers = installation.Launchers();
        if (ready && !launchers.empty()) {
            Print(stdout, L"shell ready: ShellIsReadyEvent set\n");
            return 0;
        }
        if (seen && launchers.empty()) {
            Print(stdout, L"the shell ended before it was ready\n");
            return 1;
        }
        seen = seen || !launchers.empty();
        SayNewBoxes(installation, said);
        if (GetTickCount() - start >= timeoutMs) {
            // Start-up reads no messages while it waits: say what holds it.
            if (launchers.empty())
                Print(stdout, L"the shell is not ready after %lu s: no %ls of %ls runs\n", timeoutMs / 1000,
                      registration::kLauncherFile, installation.Folder().c_str());
            for (DWORD launcher : launchers)
                Print(stdout, L"the shell is not ready after %lu s: %ls\n", timeoutMs / 1000, HeldBy(launcher).c_str());
            return 1;
        }
        if (event)
            WaitForSingleObject(event.get(), kWatchMs);
        else
            Sleep(kWatchMs);
    }
}

// Says the boxes the shell shows until none of its launchers runs.
int WatchBoxes(const Installation &installation)
{
    std::set<HWND> said;
    while (!installation.Launchers().empty()) {
        SayNewBoxes(installation, said);
        Sleep(kWatchMs);
    }
    return 0;
}

// Answers the notices that hold a stop, then ends the launchers still
// running forceAfterMs after they were asked (one held at start-up reads no messages).
void ForceQuit(const Installation &installation, DWORD forceAfterMs)
{
    const DWORD start = GetTickCount();
    while (!installation.Launchers().empty() && GetTickCount() - start < forceAfterMs) {
        for (HWND box : LauncherBoxes(installation)) {
            if (HWND ok = GetDlgItem(box, IDOK)) {
                const std::wstring said = BoxText(box);
                SendMessageW(ok, BM_CLICK, 0, 0);
                Print(stdout, L"answered the box %ls\n", said.c_str());
            }
        }
        Sleep(kWatchMs);
    }
    for (DWORD launcher : installation.Launchers()) {
        const UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, launcher));
        if (process && TerminateProcess(process.get(), kEndedExitCode))
            Print(stdout, L"launcher.exe (process %lu) did not quit within %lu s: ended it (exit code %u)\n", launcher,
                  forceAfterMs / 1000, kEndedExitCode);
    }
}

// Asks this installation's launchers to quit; with forceAfterMs, ends those
// still running that long after.
int QuitLaunchers(const Installation &installation, DWORD forceAfterMs)
{
    const std::vector<DWORD> launchers = installation.Launchers();
    if (launchers.empty()) {
        Print(stdout, L"no launcher.exe of %ls runs: nothing to stop\n", installation.Folder().c_str());
        return 0;
    }
    int posted = 0;
    for (DWORD launcher : launchers)
        posted += PostThreadMessageW(MainThreadOf(launcher), WM_QUIT, 0, 0) ? 1 : 0;
    Print(stdout, L"asked %d launcher%ls to quit\n", posted, posted == 1 ? L"" : L"s");
    if (forceAfterMs == 0)
        return posted > 0 ? 0 : 1;
    ForceQuit(installation, forceAfterMs);
    return 0;
}

int Running(const Installation &installation)
{
    const std::vector<DWORD> launchers = installation.Launchers();
    for (DWORD launcher : launchers)
        Print(stdout, L"launcher.exe runs as process %lu\n", launcher);
    return launchers.empty() ? 1 : 0;
}

constexpr wchar_t kUsageRest[] =
    L"  uninstall [--all-users] [DIR]\n"
    L"                     puts back the shell that was set before this installation's install\n"
    L"  status             which shell starts at the next log-on, and whether it is this installation\n"
    L"  running            exit code 0 when this installation's launcher.exe runs, else 1\n"
    L"  quit [--force-after MS]\n"
    L"                     asks this installation's launcher.exe to quit; ends it if still running MS later\n"
    L"  ready [MS]         waits until the shell is ready (default 60000 ms): 0 once it is, 1 if not in time\n"
    L"  watch              says every box the shell shows until it ends\n"
    L"  --help, --version\n"
    L"exit codes: 0 done; 1 refused (the installation fails its checks); 2 bad arguments;\n"
    L"            3 uninstall found nothing saved; 4 a registry or system call failed\n";

std::wstring UsageText()
{
    return L"usage: shellctl <command>\n"
           L"  install [--all-users] [--force] [--direct] [--if-shell] [--restarts N] [--ready-timeout S]\n"
           L"          [--min-run S] [DIR] [-- SWITCHES]\n"
           L"                     makes the installation in DIR (default: this program's directory) the shell at\n"
           L"                     log-on once it passes its checks, started by shellwatch.exe (--direct: by\n"
           L"                     launcher.exe itself) with the launcher switches after --; --if-shell: only where\n"
           L"                     the Shell value starts this installation already (checked, left as it is)\n" +
           watcher::UsageLines(L"                     ") + kUsageRest;
}


bool Is(const wchar_t *argument, const wchar_t *name)
{
    return argument != nullptr && wcscmp(argument, name) == 0;
}

// An argument as it goes on a command line: quoted when it holds a blank.
std::wstring Quoted(const wchar_t *argument)
{
    return wcspbrk(argument, L" \t") != nullptr ? std::wstring(L"\"") + argument + L"\"" : argument;
}

// A watcher option and its value, checked against the watcher's table; 0,
// or kUsage (said) when it does not fit.
int TakeWatcherOption(const watcher::Option &option, const wchar_t *value, InstallOptions &options)
{
    DWORD number = 0;
    if (value == nullptr || !watcher::ReadNumber(value, number)) {
        Print(stderr, L"shellctl: install: %ls takes a number\n", option.name);
        return kUsage;
    }
    if (!watcher::InRange(option, number)) {
        Print(stderr, L"shellctl: install: %ls %ls is out of its range, %lu to %lu %ls\n", option.name, value,
              option.least, option.most, option.unit);
        return kUsage;
    }
    options.watcherArgs += std::wstring(L" ") + option.name + L" " + std::to_wstring(number);
    return 0;
}

const watcher::Option *WatcherOption(const wchar_t *argument)
{
    for (const watcher::Option *option : watcher::kOptions) {
        if (Is(argument, option->name))
            return option;
    }
    return nullptr;
}

int InstallOrUninstall(int argc, wchar_t **argv)
{
    const bool install = Is(argv[1], L"install");
    registration::Hive hive = registration::Hive::User;
    InstallOptions options;
    std::wstring dir;
    for (int i = 2; i < argc; ++i) {
        const watcher::Option *option = install ? WatcherOption(argv[i]) : nullptr;
        if (Is(argv[i], L"--all-users")) {
            hive = registration::Hive::Machine;
        } else if (install && (Is(argv[i], L"--force") || Is(argv[i], L"--direct") || Is(argv[i], L"--if-shell"))) {
            bool &flag = Is(argv[i], L"--force") ? options.force : Is(argv[i], L"--direct") ? options.direct : options.ifShell;
            flag = true;
        } else if (option != nullptr) {
            if (const int bad = TakeWatcherOption(*option, i + 1 < argc ? argv[++i] : nullptr, options))
                return bad;
        } else if (install && Is(argv[i], L"--")) {
            for (++i; i < argc; ++i)
                options.switches += (options.switches.empty() ? L"" : L" ") + Quoted(argv[i]);
        } else if (argv[i][0] != L'-' && dir.empty()) {
            dir = argv[i];
        } else {
            Print(stderr, L"shellctl: %ls: unexpected argument %ls\n%ls", argv[1], argv[i], UsageText().c_str());
            return kUsage;
        }
    }
    if (options.direct && !options.watcherArgs.empty()) {
        Print(stderr, L"shellctl: install: --direct starts no watcher: --restarts, --ready-timeout and "
                      L"--min-run are the watcher's\n");
        return kUsage;
    }
    return install ? Install(dir, hive, options) : Uninstall(dir, hive);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const wchar_t *command = argc >= 2 ? argv[1] : nullptr;
    const Installation self = Installation::OfThisProgram();
    if (Is(command, L"--help") || Is(command, L"-h") || Is(command, L"/?")) {
        Print(stdout, L"%ls", UsageText().c_str());
        return kDone;
    }
    if (Is(command, L"--version")) {
        Print(stdout, L"shellctl %hs\n", PROJECT_VERSION);
        return kDone;
    }
    if (Is(command, L"ready") && argc <= 3)
        return WaitReady(self, argc == 3 ? wcstoul(argv[2], nullptr, 10) : kDefaultReadyMs);
    if (Is(command, L"watch") && argc == 2)
        return WatchBoxes(self);
    if (Is(command, L"quit") && (argc == 2 || (argc == 4 && Is(argv[2], L"--force-after"))))
        return QuitLaunchers(self, argc == 4 ? wcstoul(argv[3], nullptr, 10) : 0);
    if (Is(command, L"running") && argc == 2)
        return Running(self);
    if (Is(command, L"status") && argc == 2)
        return Status();
    if (Is(command, L"install") || Is(command, L"uninstall"))
        return InstallOrUninstall(argc, argv);
    Print(stderr, L"%ls", UsageText().c_str());
    return kUsage;
}
