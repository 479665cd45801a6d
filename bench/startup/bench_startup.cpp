// Start-to-ready and shutdown of launcher.exe with three components that
// signal at once, side by side in one run with a bare program (creates and
// sets the ready event only), a floor program (the launcher's unavoidable
// system work, no bookkeeping), shellwatch.exe starting that launcher, as
// the Shell value does, and the watcher's floor (a C program that only
// starts the launcher and waits for its ready event). Reports the medians
// and the ratios. A watcher is ended once the shell is ready (any end of the
// shell that soon would be a failed start to it), and the launcher it
// started is then ended as the others are: so only its start-up is timed.
// Last, the sample shell (sample\launcher.exe with the sample components):
// its core reads its settings and draws its desktop after it signals, so
// its start-to-ready stays near the launcher's; it ends when asked to quit,
// as shellctl asks.
//
//   bench_startup [rounds]
//
// Start-to-ready: process creation until "ShellIsReadyEvent" is set.
// Shutdown: the core told to return until the process has exited.

#include "bench_util.h"
#include "contract.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Under Wine a program started while the one before is still being torn
// down now and then takes 20-30 ms longer; the pause keeps the rounds apart.
constexpr DWORD kSettleMs = 100;

struct Timing {
    double ready, shutdown;
};

// How a program's shell is ended once it is ready.
enum class Ending {
    CoreReturns,  // the bench components' core returns when told to
    WatcherEnded, // a watcher: it is ended, then the launcher it started as above
    QuitMessage,  // the launcher's main thread gets WM_QUIT
};

struct Program {
    const char *name;
    Ending ending;
};
constexpr Program kPrograms[] = {{"launcher", Ending::CoreReturns},     {"floor", Ending::CoreReturns},
                                 {"bare", Ending::CoreReturns},         {"shellwatch", Ending::WatcherEnded},
                                 {"watch_floor", Ending::WatcherEnded}, {"sample\\launcher", Ending::QuitMessage}};
constexpr int kProgramCount = static_cast<int>(sizeof(kPrograms) / sizeof(kPrograms[0]));
enum { kLauncher, kFloor, kBare, kWatcher, kWatchFloor, kSample };

// The launcher a watcher started.
HANDLE LauncherOf(DWORD watcher)
{
    HANDLE found = nullptr;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Process32First(snapshot, &entry); ok && found == nullptr; ok = Process32Next(snapshot, &entry)) {
        if (entry.th32ParentProcessID == watcher && _stricmp(entry.szExeFile, "launcher.exe") == 0)
            found = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return found;
}

bool Run(const std::string &exe, Ending ending, HANDLE shellReady, HANDLE coreReturn, Timing &timing)
{
    ResetEvent(shellReady);
    ResetEvent(coreReturn);
    std::string commandLine = "\"" + exe + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};

    Sleep(kSettleMs);
    const double start = bench::NowMs();
    if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    const bool ready = WaitForSingleObject(shellReady, 30000) == WAIT_OBJECT_0;
    const double readyAt = bench::NowMs();
    const bool watches = ending == Ending::WatcherEnded;
    HANDLE ends = process.hProcess;
    if (watches) {
        ends = LauncherOf(process.dwProcessId);
        TerminateProcess(process.hProcess, 0);
    }
    if (ending == Ending::QuitMessage)
        PostThreadMessageA(process.dwThreadId, WM_QUIT, 0, 0);
    else
        SetEvent(coreReturn);
    const bool ended = ends != nullptr && WaitForSingleObject(ends, 30000) == WAIT_OBJECT_0;
    if (watches && ends != nullptr)
        CloseHandle(ends);
    const double endedAt = bench::NowMs();
    if (!ended)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    timing = {readyAt - start, endedAt - readyAt};
    return ready && ended;
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string dir = path;
    dir.resize(dir.rfind('\\'));

    // Held here so every program finds them; the programs only open or set them.
    HANDLE shellReady = CreateEventA(nullptr, TRUE, FALSE, contract::kShellReadyEvent);
    HANDLE coreReturn = CreateEventA(nullptr, TRUE, FALSE, "BenchCoreReturn");

    std::vector<double> ready[kProgramCount], shutdown[kProgramCount];
    for (int r = 0; r <= rounds; ++r) { // round 0 warms the caches and is not counted
        for (int p = 0; p < kProgramCount; ++p) {
            Timing t;
            if (!Run(dir + "\\" + kPrograms[p].name + ".exe", kPrograms[p].ending, shellReady, coreReturn, t)) {
                std::fprintf(stderr, "%s did not run to its end\n", kPrograms[p].name);
                return 1;
            }
            if (r > 0) {
                ready[p].push_back(t.ready);
                shutdown[p].push_back(t.shutdown);
            }
        }
    }

    double readyMedian[kProgramCount], shutdownMedian[kProgramCount];
    std::printf("start-up and shutdown, %d rounds, medians in ms\n", rounds);
    std::printf("%-16s %10s %10s\n", "program", "to ready", "shutdown");
    for (int p = 0; p < kProgramCount; ++p) {
        readyMedian[p] = bench::Median(ready[p]);
        shutdownMedian[p] = bench::Median(shutdown[p]);
        if (kPrograms[p].ending == Ending::WatcherEnded)
            std::printf("%-16s %10.1f %10s\n", kPrograms[p].name, readyMedian[p], "-");
        else
            std::printf("%-16s %10.1f %10.1f\n", kPrograms[p].name, readyMedian[p], shutdownMedian[p]);
    }
    std::printf("launcher/floor: to ready %.2f, shutdown %.2f\n", readyMedian[kLauncher] / readyMedian[kFloor],
                shutdownMedian[kLauncher] / shutdownMedian[kFloor]);
    std::printf("launcher/bare:  to ready %.2f, shutdown %.2f\n", readyMedian[kLauncher] / readyMedian[kBare],
                shutdownMedian[kLauncher] / shutdownMedian[kBare]);
    std::printf("shellwatch/watch floor: to ready %.2f\n", readyMedian[kWatcher] / readyMedian[kWatchFloor]);
    std::printf("shellwatch/launcher: to ready %.2f\n", readyMedian[kWatcher] / readyMedian[kLauncher]);
    std::printf("sample/floor: to ready %.2f (launcher/floor %.2f)\n", readyMedian[kSample] / readyMedian[kFloor],
                readyMedian[kLauncher] / readyMedian[kFloor]);
    CloseHandle(coreReturn);
    CloseHandle(shellReady);
    return 0;
}
