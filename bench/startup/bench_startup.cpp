// Start-to-ready and shutdown of launcher.exe with three components that
// signal at once, side by side in one run with a bare program (creates and
// sets the ready event only) and a floor program (the launcher's unavoidable
// system work, no bookkeeping). Reports the medians and both ratios.
//
//   bench_startup [rounds]
//
// Start-to-ready: process creation until "ShellIsReadyEvent" is set.
// Shutdown: the core told to return until the process has exited.

#include "bench_util.h"

#include <windows.h>

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

bool Run(const std::string &exe, HANDLE shellReady, HANDLE coreReturn, Timing &timing)
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
    SetEvent(coreReturn);
    const bool ended = WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0;
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
    HANDLE shellReady = CreateEventA(nullptr, TRUE, FALSE, "ShellIsReadyEvent");
    HANDLE coreReturn = CreateEventA(nullptr, TRUE, FALSE, "BenchCoreReturn");

    const char *names[] = {"launcher", "floor", "bare"};
    std::vector<double> ready[3], shutdown[3];
    for (int r = 0; r <= rounds; ++r) { // round 0 warms the caches and is not counted
        for (int p = 0; p < 3; ++p) {
            Timing t;
            if (!Run(dir + "\\" + names[p] + ".exe", shellReady, coreReturn, t)) {
                std::fprintf(stderr, "%s did not run to its end\n", names[p]);
                return 1;
            }
            if (r > 0) {
                ready[p].push_back(t.ready);
                shutdown[p].push_back(t.shutdown);
            }
        }
    }

    double readyMedian[3], shutdownMedian[3];
    std::printf("start-up and shutdown, %d rounds, medians in ms\n", rounds);
    std::printf("%-9s %10s %10s\n", "program", "to ready", "shutdown");
    for (int p = 0; p < 3; ++p) {
        readyMedian[p] = bench::Median(ready[p]);
        shutdownMedian[p] = bench::Median(shutdown[p]);
        std::printf("%-9s %10.1f %10.1f\n", names[p], readyMedian[p], shutdownMedian[p]);
    }
    std::printf("launcher/floor: to ready %.2f, shutdown %.2f\n", readyMedian[0] / readyMedian[1],
                shutdownMedian[0] / shutdownMedian[1]);
    std::printf("launcher/bare:  to ready %.2f, shutdown %.2f\n", readyMedian[0] / readyMedian[2],
                shutdownMedian[0] / shutdownMedian[2]);
    CloseHandle(coreReturn);
    CloseHandle(shellReady);
    return 0;
}
