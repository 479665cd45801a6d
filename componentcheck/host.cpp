// The host process's two runs of the library: the first reports, the
// second only counts what a run leaves held.

#include "host.h"

#include "counts.h"
#include "crash.h"
#include "diagnose.h"
#include "hooks.h"
#include "leaks.h"
#include "sender.h"
#include "sequence.h"
#include "state.h"

namespace {

void Count(Check check, const Counter &counter, long long afterFirstRun, const char *what)
{
    const long long left = counter.count() - afterFirstRun;
    if (left <= 0) {
        Pass("", check, 0, counter.how);
        return;
    }
    const std::string who = check == Check::HandlesLeft ? HandlesLeftBy() : GdiLeftBy(left);
    Result("", check, Verdict::Fail, &left, "%s a run leaves held: %lld (%s)%s%s", what, left, counter.how,
           who.empty() ? "" : ": ", who.c_str());
}

} // namespace

int RunHost(const Options &options)
{
    StartSending(options.report);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);

    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // a queue, as the shell's main thread has
    StartQueueProbe();
    HostState host(options, RestrictLibrarySearch());
    CatchCrashes(host);
    Sequence sequence(host); // kept to the host's end: a thread it starts may outlast a run
    DWORD error = ERROR_ACCESS_DENIED; // what a library search that cannot be restricted means
    if (host.search == LibrarySearch::NotRestricted || !sequence.Run(error)) {
        SendUnloadable(WhyUnloadable(host.path, error));
        return kExitUnloadable;
    }

    // What the library leaves held is what a second run of it adds: the
    // system's one-time allocations (a cached registry key, say) made during
    // the first run do not count against it.
    const Counter handles = ChooseHandleCounter();
    const Counter gdi = ChooseGdiCounter();
    const long long handlesAfterFirstRun = handles.count();
    const long long gdiAfterFirstRun = gdi.count();
    const char *uncounted = nullptr;
    if (host.terminated) {
        uncounted = "a thread had to be terminated, and what it held stays held";
    } else if (host.threadsLeft) {
        uncounted = "threads it started still run, and hold what they hold";
    } else {
        StartLeakRecord();
        StartSecondRun(true);
        if (!sequence.Run(error))
            uncounted = "could not be loaded a second time";
        StartSecondRun(false);
    }
    if (uncounted == nullptr) {
        Count(Check::HandlesLeft, handles, handlesAfterFirstRun, "kernel handles");
        Count(Check::GdiLeft, gdi, gdiAfterFirstRun, "GDI objects");
    } else {
        for (Check check : {Check::HandlesLeft, Check::GdiLeft})
            Result("", check, Verdict::NotObservable, nullptr, "%s", uncounted);
    }
    StopQueueProbe();
    Result("", Check::Crash, Verdict::Pass, nullptr, "no crash, hang or early exit");
    SendDone();
    // Ended here, not by ExitProcess: a thread terminated inside the library
    // may have left the loader's lock held, and the exit would wait on it.
    TerminateProcess(GetCurrentProcess(), 0);
    return 0;
}
