// The run, in the shell's order: the configuration call, each worker entry
// started once the one before has signalled, the stop, the unload. Entries
// run through hosting's own thread routines, the core loaded and unloaded on
// its thread; what each did is reported as soon as it is known.

#include "host.h"
#include "image.h"

#include "Library.h"
#include "Text.h"

#include <string.h>

using contract::Worker;

namespace {

constexpr int kServiceMainFlag = 1; // what the shell hands SS_Main without -t

// What an author looks for when an entry never signals.
constexpr char kWhyNoSignal[] =
    "; likely causes: it waits for something that only comes after the signal, it signals another event than "
    "the one it is handed, or its prototype is not the header's (a declaration of its own, another calling "
    "convention or argument order: it reads its ready event from the wrong place)";

// Ends the host once the library's load was found not to return: nothing
// after it can run.
[[noreturn]] void EndAfterHungLoad()
{
    Result("", Check::Crash, Verdict::NotObservable, nullptr, "the load never returned: nothing after it ran");
    Send(RecordKind::Done);
    // Not ExitProcess: the loader's lock is held by the load.
    TerminateProcess(GetCurrentProcess(), 1);
    for (;;)
        Sleep(INFINITE);
}

long long Since(DWORD start)
{
    return static_cast<long long>(GetTickCount() - start);
}

const contract::Entry &EntryNamed(const char *name)
{
    for (const auto &entry : contract::kEntries) {
        if (strcmp(entry.name, name) == 0)
            return entry;
    }
    return contract::kEntries[0];
}

// Reports threads-left; true when none of the library's threads still runs,
// so that it may be unloaded without pulling their code from under them.
bool JudgeThreadsBeforeUnload(HostState &host)
{
    host.unloadJudged = true;
    Begin("", Check::ThreadsLeft, kSettleMs * kMaxTrackedThreads);
    const long long running = RunningLibraryThreads(), inDllMain = host.dllMainThreads;
    if (running == 0 && inDllMain < 0) {
        Result("", Check::ThreadsLeft, Verdict::NotObservable, nullptr,
               "none of those it started later runs, but the threads its DllMain started cannot be looked for here");
    } else if (running == 0 && inDllMain == 0) {
        Pass("", Check::ThreadsLeft, 0, "threads it started with CreateThread, _beginthreadex or _beginthread, or in its DllMain");
    } else {
        const long long count = running > inDllMain ? running : inDllMain;
        char still[160] = "", started[320] = "";
        if (running > 0)
            _snprintf(still, sizeof(still) - 1, "%lld of the threads it started still run when it is to be "
                                                "unloaded: it is left mapped under them", running);
        if (inDllMain > 0)
            _snprintf(started, sizeof(started) - 1, "%sits DllMain started %lld thread%s: none can run before DllMain "
                      "returns (the loader's lock), and one DllMain waits for hangs the shell's start-up; start "
                      "threads from the entry point instead", running > 0 ? "; " : "", inDllMain,
                      inDllMain == 1 ? "" : "s");
        Result("", Check::ThreadsLeft, Verdict::Fail, &count, "%s%s", still, started);
    }
    host.threadsLeft = running > 0;
    return running == 0;
}

void RunConfig(HostState &host, const char *name)
{
    const contract::Entry &entry = EntryNamed(name);
    if (host.library == nullptr || !host.exports.Plain(name))
        return;
    const Check check = ChecksOf(entry).front();
    Begin(name, check, host.options.callLimitMs);
    const DWORD start = GetTickCount();
    if (check == Check::ConfigFree) {
        ExportOf<SH_CFG_FreeBufferProc>(host.library, name)();
        Pass(name, check, Since(start));
        return;
    }
    // Copies, as the shell hands them (8-bit), so that a write into them shows.
    const std::string &given = host.installDirText;
    std::string config;
    text::ToCodePage(host.options.configFile, config);
    std::string dir = given, file = config;
    dir.resize(MAX_PATH, '\0');
    file.resize(MAX_PATH, '\0');
    ExportOf<SH_CFG_FillBufferProc>(host.library, name)(dir.c_str(), config.empty() ? nullptr : file.c_str());
    const long long ms = Since(start);
    // Up to the terminator: the copies are padded to the shell's buffer size.
    const bool dirKept = strcmp(dir.c_str(), given.c_str()) == 0, fileKept = strcmp(file.c_str(), config.c_str()) == 0;
    if (dirKept && fileKept)
        Pass(name, check, ms);
    else
        Result(name, check, Verdict::Fail, nullptr, "wrote into the %s it was given (now \"%s\"): it is the shell's, to be read only",
               dirKept ? "configuration file's name" : "installation directory", dirKept ? file.c_str() : dir.c_str());
}

void ReportStart(const EntryRun &run, long long readyMs, DWORD timeoutMs)
{
    const char *name = run.entry->name;
    switch (run.start) {
    case WorkerStart::Signalled:
        if (run.returned && run.result == SHELL_ENTRY_FAILED && !run.signalledBeforeReturn)
            Result(name, Check::Ready, Verdict::NotObservable, nullptr,
                   "returned -1 before signalling: it failed to start, as the contract allows");
        else
            Pass(name, Check::Ready, readyMs);
        break;
    case WorkerStart::Ended:
        if (run.returned)
            Result(name, Check::Ready, Verdict::Fail, nullptr, "returned %d without signalling its ready event%s",
                   run.result, kWhyNoSignal);
        else
            Result(name, Check::Ready, Verdict::Fail, nullptr, "ended without signalling its ready event");
        break;
    case WorkerStart::TimedOut:
        Result(name, Check::Ready, Verdict::Fail, nullptr,
               "not signalled within %lu ms: the shell's start-up would wait for ever%s", timeoutMs, kWhyNoSignal);
        break;
    case WorkerStart::NotStarted:
        Result(name, Check::Ready, Verdict::NotObservable, nullptr, "the thread could not be started");
        break;
    }
}

// Still in its load, where the shell's core thread would wait for ever.
void EndIfCoreLoadHangs(const HostState &host, const EntryRun &run, DWORD timeoutMs)
{
    if (!host.coreOnItsThread || host.base != nullptr || run.start != WorkerStart::TimedOut ||
        run.loadError != ERROR_SUCCESS)
        return;
    Result(run.entry->name, Check::Ready, Verdict::NotObservable, nullptr, "never entered: the library's load never returned");
    Result("", Check::Load, Verdict::Fail, nullptr,
           "its DllMain had not returned after %lu ms: loading it hangs the thread that loads it, and "
           "the shell's start-up with it",
           timeoutMs);
    EndAfterHungLoad();
}

void StartRun(HostState &host, Worker worker, const char *name)
{
    if (!host.exports.Plain(name))
        return;
    EntryRun &run = host.Run(worker);
    EntryRun fresh; // nothing seen yet
    fresh.host = &host;
    fresh.entry = &EntryNamed(name);
    run = std::move(fresh);
    const DWORD timeoutMs = host.options.readyTimeoutMs;
    Begin(name, Check::Ready, timeoutMs);
    const DWORD start = GetTickCount();
    if (worker == Worker::Core)
        host.loadStart = start; // loaded on the core's own thread, when it is one
    WorkerSetup setup;
    setup.services = host.library;
    setup.startupEntry = name; // this run's, normal or forced
    setup.serviceMainFlag = kServiceMainFlag;
    setup.corePath = host.path.c_str();
    setup.search = host.search;
    setup.installDir = host.installDirText.c_str();
    setup.observer = &run;
    run.start = RunWorker(worker, setup, run.worker, run.context, timeoutMs);
    const long long readyMs = Since(start);
    EndIfCoreLoadHangs(host, run, timeoutMs);
    if (run.threadId == 0)
        run.threadId = run.worker.id;
    ReportStart(run, readyMs, timeoutMs); // first: an entry that ends the process at once leaves time for one record
    if (worker == Worker::Core && host.coreOnItsThread && host.base != nullptr)
        Pass("", Check::Load, static_cast<long long>(host.loadedAt - host.loadStart));
    // Without the SetEvent hook, a queue can only be looked for just after
    // the signal: its absence then is a fault, its presence proves nothing.
    if (run.Stoppable() && run.start == WorkerStart::Signalled && !SetEventHooked() && !run.returned &&
        HasQueue(run.threadId) == 0)
        run.queueAtSignal = 0;
}

void ReportSignals(const EntryRun &run, bool keptEvent)
{
    const char *name = run.entry->name;
    const long long signals = run.signals;
    if (!keptEvent)
        Result(name, Check::SingleSignal, Verdict::Fail, &signals,
               "closed its ready event (signalled %lld times): the event is the shell's to close, and a shell "
               "that closed it again would close a handle no longer its own",
               signals);
    else if (!SetEventHooked())
        Result(name, Check::SingleSignal, Verdict::NotObservable, nullptr,
               "the library does not import SetEvent, so its signals cannot be counted");
    else if (signals == 0)
        Result(name, Check::SingleSignal, Verdict::NotObservable, nullptr, "never signalled");
    else if (signals == 1)
        Pass(name, Check::SingleSignal, signals);
    else
        Result(name, Check::SingleSignal, Verdict::Fail, &signals,
               "signalled %lld times: the shell starts the next component at the first signal, so signal once, "
               "when all is up (a later signal reaches no other thread: the handle is this entry's own copy)",
               signals);
}

void ReportQueueAndResult(const EntryRun &run)
{
    const char *name = run.entry->name;
    if (run.queueAtSignal == 1)
        Result(name, Check::QueueAtSignal, Verdict::Pass, nullptr, "");
    else if (run.queueAtSignal == 0)
        Result(name, Check::QueueAtSignal, Verdict::Fail, nullptr,
               "no message queue when it signalled: the stop message cannot be posted to it "
               "(call PeekMessage before SetEvent)");
    else
        Result(name, Check::QueueAtSignal, Verdict::NotObservable, nullptr,
               SetEventHooked() ? "never signalled" : "the library does not import SetEvent");

    if (!run.returned)
        Result(name, Check::FailBeforeSignal, Verdict::NotObservable, nullptr, "never returned");
    else if (run.result != SHELL_ENTRY_FAILED)
        Result(name, Check::FailBeforeSignal, Verdict::Pass, nullptr, "returned %d", run.result);
    else if (!run.signalledBeforeReturn)
        Result(name, Check::FailBeforeSignal, Verdict::Pass, nullptr, "returned -1 before signalling");
    else
        Result(name, Check::FailBeforeSignal, Verdict::Fail, nullptr,
               "returned -1 after signalling: -1 means a failure before the signal");
}

void ReportStop(const EntryRun &run, const WorkerStopResult &stop, bool endedBefore, long long stopMs, DWORD limitMs)
{
    const char *name = run.entry->name;
    const char *ending = stop.outcome == WorkerStop::Terminated ? "terminated" : "could not be terminated";
    if (endedBefore)
        Pass(name, Check::Stop, 0, run.Stoppable() ? "ended by itself before the stop message" : "ended by itself");
    else if (stop.outcome == WorkerStop::Ended)
        Pass(name, Check::Stop, stopMs);
    else if (!run.Stoppable())
        Result(name, Check::Stop, Verdict::Fail, nullptr,
               "did not end by itself within %lu ms of the shutdown (it gets no message); %s", limitMs, ending);
    else if (!stop.stopPosted)
        Result(name, Check::Stop, Verdict::Fail, nullptr,
               "the stop message could not be posted (no message queue); still running %lu ms later; %s", limitMs,
               ending);
    else
        Result(name, Check::Stop, Verdict::Fail, nullptr,
               "still running %lu ms after the stop message (SHELL_STOP_MESSAGE, 0x8002, posted to its thread); "
               "the usual cause is a GetMessage/DispatchMessage loop that waits for WM_QUIT: a thread message "
               "reaches no window procedure, so look at msg.message in the loop itself; %s",
               limitMs, ending);
}

void StopRun(HostState &host, EntryRun &run)
{
    if (run.entry == nullptr)
        return;
    bool keptEvent = true;
    if (!run.worker) {
        Result(run.entry->name, Check::Stop, Verdict::NotObservable, nullptr, "the thread was never started");
    } else {
        const DWORD limitMs = host.options.callLimitMs;
        Begin(run.entry->name, Check::Stop, limitMs + kTerminateWaitMs);
        const bool endedBefore = WaitForSingleObject(run.worker.get(), 0) == WAIT_OBJECT_0;
        const DWORD start = GetTickCount();
        const WorkerStopResult stop = StopWorkerThread(run.worker, run.Stoppable(), nullptr, limitMs);
        keptEvent = stop.entryKeptEvent;
        host.terminated = host.terminated || stop.outcome == WorkerStop::Terminated ||
                          stop.outcome == WorkerStop::Unstoppable;
        ReportStop(run, stop, endedBefore, Since(start), limitMs);
    }
    ReportSignals(run, keptEvent);
    if (run.Stoppable())
        ReportQueueAndResult(run);
    run.entry = nullptr;
}

// The library's unload, judged: a core on its thread was unloaded there (or
// left mapped) when ShellMain returned; any other library is unloaded here.
void Unload(HostState &host)
{
    if (!host.coreOnItsThread && JudgeThreadsBeforeUnload(host)) {
        Begin("", Check::Unloaded, host.options.callLimitMs);
        FreeLibrary(host.library);
    }
    const char *why = host.base == nullptr ? "never loaded" : "its thread never reached the unload";
    if (!host.unloadJudged) {
        Result("", Check::ThreadsLeft, Verdict::NotObservable, nullptr, "%s", why);
        Result("", Check::Unloaded, Verdict::NotObservable, nullptr, "%s", why);
    } else if (host.threadsLeft) {
        Result("", Check::Unloaded, Verdict::NotObservable, nullptr, "left mapped: threads it started still run in it");
    } else if (IsUnmapped(host.base)) {
        Result("", Check::Unloaded, Verdict::Pass, nullptr, "");
    } else {
        Result("", Check::Unloaded, Verdict::Fail, nullptr,
               "still mapped after FreeLibrary: something holds a reference to it");
    }
}

void ReportExports(const Exports &exports)
{
    bool anyRole = false;
    for (const auto &entry : contract::kEntries) {
        if (!exports.HasRole(entry.role))
            continue;
        anyRole = true;
        if (exports.Plain(entry.name))
            Result(entry.name, Check::Export, Verdict::Pass, nullptr, "");
        else if (const char *decorated = exports.Decorated(entry.name))
            Result(entry.name, Check::Export, Verdict::Fail, nullptr,
                   "exported only as \"%s\": name it plainly in a .def file", decorated);
        else // the shell skips a missing entry by design: a role may leave one out
            Result(entry.name, Check::Export, Verdict::Warn, nullptr, "missing: %s%s%s", entry.whenMissing,
                   exports.NearMisses().empty() ? "" : "; ", exports.NearMisses().c_str());
    }
    if (!anyRole)
        Result("", Check::Export, Verdict::Fail, nullptr,
               "no contract export (SH_CFG_FillBuffer, SS_Main, ShellMain, ...): not a shell component%s%s",
               exports.NearMisses().empty() ? "" : "; ", exports.NearMisses().c_str());
}

// The shell loads its core on the core thread, and every other library on
// its main thread, where it is loaded here.
bool LoadOnMainThread(HostState &host, DWORD &error)
{
    const Exports &exports = host.exports;
    host.coreOnItsThread = exports.HasRole(contract::Role::Core) && !exports.HasRole(contract::Role::Config) &&
                           !exports.HasRole(contract::Role::Services);
    host.library = nullptr;
    host.base = nullptr;
    host.unloadJudged = false;
    if (host.coreOnItsThread)
        return true;
    Begin("", Check::Load, host.options.callLimitMs); // a DllMain that never returns hangs the host here
    host.loadStart = GetTickCount();
    host.library = LoadComponentLibrary(host.path.c_str(), host.search);
    if (host.library == nullptr) {
        error = GetLastError();
        return false;
    }
    host.loadedAt = GetTickCount();
    host.base = host.library;
    HookImports(host, host.library);
    return true;
}

} // namespace

void EntryRun::Loaded(HMODULE library)
{
    if (!host->coreOnItsThread)
        return; // loaded and hooked on the main thread already
    host->loadedAt = GetTickCount();
    host->base = library;
    HookImports(*host, library);
}

void EntryRun::Returned(int entryResult, bool signalled)
{
    signalledBeforeReturn = signalled;
    result = entryResult;
    InterlockedExchange(&returned, 1);
}

bool EntryRun::UnloadCoreNow()
{
    return !host->coreOnItsThread || JudgeThreadsBeforeUnload(*host);
}

bool RunLibrary(HostState &host, DWORD &error)
{
    Begin("", Check::Export, host.options.callLimitMs);
    if (!ReadExports(host.path, host.exports, error) || !LoadOnMainThread(host, error))
        return false;
    ReportExports(host.exports);
    if (!host.coreOnItsThread)
        Pass("", Check::Load, static_cast<long long>(host.loadedAt - host.loadStart));

    // The shell's order: configuration, startup, service, core; stopped core,
    // startup, service. The forced startup entry, which the shell runs
    // instead of the normal one with -s1, runs after them on its own.
    RunConfig(host, contract::kFillBuffer);
    for (Worker worker : contract::kStartOrder)
        StartRun(host, worker, contract::EntryOf(worker));
    for (Worker worker : contract::kStopOrder)
        StopRun(host, host.Run(worker));
    StartRun(host, Worker::Startup, contract::kForceStartup);
    StopRun(host, host.Run(Worker::Startup));
    RunConfig(host, contract::kFreeBuffer);
    if (host.Run(Worker::Core).loadError != ERROR_SUCCESS) {
        error = host.Run(Worker::Core).loadError;
        return false;
    }
    Unload(host);
    return true;
}
