// The run, in the shell's order: the configuration call, each worker entry
// started once the one before has signalled, the stop, the unload. Entries
// run through hosting's own thread routines, the core loaded and unloaded on
// its thread; what each did is reported as soon as it is known.

#include "sequence.h"

#include "hooks.h"
#include "image.h"
#include "leaks.h"
#include "sender.h"

#include "Library.h"

#include <string.h>

using contract::Worker;

namespace {

constexpr int kServiceMainFlag = 1; // what the shell hands SS_Main without -t

// Ends the host once the library's load was found not to return: nothing
// after it can run.
[[noreturn]] void EndAfterHungLoad()
{
    Result("", Check::Crash, Verdict::NotObservable, nullptr, "the load never returned: nothing after it ran");
    SendDone();
    // Not ExitProcess: the loader's lock is held by the load.
    TerminateProcess(GetCurrentProcess(), 1);
    for (;;)
        Sleep(INFINITE);
}

// A step that may hang begins: the checker's watchdog is told, and what
// the second run makes from now on is put down to it.
void Begin(const char *entry, Check check, DWORD limitMs)
{
    NoteStep(entry, check);
    Step(entry, check, limitMs);
}

long long Since(DWORD start)
{
    return static_cast<long long>(GetTickCount() - start);
}

const contract::Entry &EntryNamed(const char *name)
{
    for (const auto &entry : contract::kEntries) {
        if (std::string(entry.name) == name)
            return entry;
    }
    return contract::kEntries[0];
}

EntryRun &RunOf(HostState &host, Worker worker)
{
    return worker == Worker::Startup ? host.startup : worker == Worker::Service ? host.service : host.core;
}

// Reports threads-left; true when none of the library's threads still runs,
// so that it may be unloaded without pulling their code from under them.
bool JudgeThreadsBeforeUnload(HostState &host)
{
    host.unloadJudged = true;
    Begin("", Check::ThreadsLeft, kSettleMs * kMaxTrackedThreads);
    const long long running = RunningLibraryThreads();
    if (running == 0 && host.loadThreadsUnseen) {
        Result("", Check::ThreadsLeft, Verdict::NotObservable, nullptr,
               "none of those it started later runs, but the threads its DllMain started cannot be looked for here");
        return true;
    }
    if (running == 0) {
        Pass("", Check::ThreadsLeft, 0, "threads it started with CreateThread, _beginthreadex or _beginthread, or in its DllMain");
        return true;
    }
    Result("", Check::ThreadsLeft, Verdict::Fail, &running,
           "%lld of the threads it started still run when it is to be unloaded: it is left mapped under them",
           running);
    host.threadsLeft = true;
    return false;
}

void RunConfig(HostState &host, const char *name)
{
    const contract::Entry &entry = EntryNamed(name);
    if (host.library == nullptr || !host.exports.Plain(name))
        return;
    const Check check = ChecksOf(entry).front();
    Begin(name, check, kCallLimitMs);
    const DWORD start = GetTickCount();
    if (check == Check::ConfigFill) {
        // Copies, as the shell hands them, so that a write into them shows.
        const std::string &config = host.options.configFile;
        std::string dir = host.installDir, file = config;
        dir.resize(MAX_PATH, '\0');
        file.resize(MAX_PATH, '\0');
        ExportOf<SH_CFG_FillBufferProc>(host.library, name)(dir.c_str(), config.empty() ? nullptr : file.c_str());
        const long long ms = Since(start);
        // Up to the terminator: the copies are padded to the shell's buffer size.
        const bool dirKept = strcmp(dir.c_str(), host.installDir.c_str()) == 0;
        const bool fileKept = strcmp(file.c_str(), config.c_str()) == 0;
        if (dirKept && fileKept)
            Pass(name, check, ms);
        else
            Result(name, check, Verdict::Fail, nullptr,
                   "wrote into the %s it was given (now \"%s\"): it is the shell's, to be read only",
                   dirKept ? "configuration file's name" : "installation directory",
                   dirKept ? file.c_str() : dir.c_str());
    } else {
        ExportOf<SH_CFG_FreeBufferProc>(host.library, name)();
        Pass(name, check, Since(start));
    }
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
            Result(name, Check::Ready, Verdict::Fail, nullptr, "returned %d without signalling its ready event",
                   run.result);
        else
            Result(name, Check::Ready, Verdict::Fail, nullptr, "ended without signalling its ready event");
        break;
    case WorkerStart::TimedOut:
        Result(name, Check::Ready, Verdict::Fail, nullptr,
               "not signalled within %lu ms: the shell's start-up would wait for ever", timeoutMs);
        break;
    case WorkerStart::NotStarted:
        Result(name, Check::Ready, Verdict::NotObservable, nullptr, "the thread could not be started");
        break;
    }
}

void StartRun(HostState &host, Worker worker, const char *name, EntryObserver &observer)
{
    if (!host.exports.Plain(name))
        return;
    EntryRun &run = RunOf(host, worker);
    run.Reset(EntryNamed(name));
    const DWORD timeoutMs = host.options.readyTimeoutMs;
    Begin(name, Check::Ready, timeoutMs);
    const DWORD start = GetTickCount();
    if (worker == Worker::Core)
        host.loadStart = start; // loaded on the core's own thread, when it is one
    WorkerSetup setup;
    setup.services = host.library;
    setup.startupEntry = name; // this run's, normal or forced
    setup.serviceMainFlag = kServiceMainFlag;
    setup.corePath = host.widePath.c_str();
    setup.search = host.search;
    setup.installDir = host.installDir.c_str();
    setup.observer = &observer;
    run.start = RunWorker(worker, setup, run.worker, run.context, timeoutMs);
    const long long readyMs = Since(start);
    const bool coreLoad = worker == Worker::Core && host.coreOnItsThread;
    if (coreLoad && host.base == nullptr && run.start == WorkerStart::TimedOut && run.loadError == ERROR_SUCCESS) {
        // Still in its load, where the shell's core thread would wait for ever.
        Result(name, Check::Ready, Verdict::NotObservable, nullptr, "never entered: the library's load never returned");
        Result("", Check::Load, Verdict::Fail, nullptr,
               "its DllMain had not returned after %lu ms: loading it hangs the thread that loads it, and "
               "the shell's start-up with it",
               timeoutMs);
        EndAfterHungLoad();
    }
    if (run.threadId == 0)
        run.threadId = run.worker.id;
    ReportStart(run, readyMs, timeoutMs); // first: an entry that ends the process at once leaves time for one record
    if (coreLoad && host.base != nullptr)
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

void StopRun(HostState &host, EntryRun &run)
{
    if (run.entry == nullptr)
        return;
    const char *name = run.entry->name;
    bool keptEvent = true;
    if (!run.worker) {
        Result(name, Check::Stop, Verdict::NotObservable, nullptr, "the thread was never started");
    } else {
        Begin(name, Check::Stop, kStopWaitMs + kTerminateWaitMs);
        const bool endedBefore = WaitForSingleObject(run.worker.get(), 0) == WAIT_OBJECT_0;
        const DWORD start = GetTickCount();
        const WorkerStopResult stop = StopWorkerThread(run.worker, run.Stoppable(), nullptr);
        keptEvent = stop.entryKeptEvent;
        const long long stopMs = Since(start);
        const char *ending = stop.outcome == WorkerStop::Terminated ? "terminated" : "could not be terminated";
        if (stop.outcome == WorkerStop::Terminated || stop.outcome == WorkerStop::Unstoppable)
            host.terminated = true;
        if (endedBefore)
            Pass(name, Check::Stop, 0, run.Stoppable() ? "ended by itself before the stop message" : "ended by itself");
        else if (stop.outcome == WorkerStop::Ended)
            Pass(name, Check::Stop, stopMs);
        else if (!run.Stoppable())
            Result(name, Check::Stop, Verdict::Fail, nullptr,
                   "did not end by itself within %lu ms of the shutdown (it gets no message); %s", kStopWaitMs,
                   ending);
        else if (!stop.stopPosted)
            Result(name, Check::Stop, Verdict::Fail, nullptr,
                   "the stop message could not be posted (no message queue); still running %lu ms later; %s",
                   kStopWaitMs, ending);
        else
            Result(name, Check::Stop, Verdict::Fail, nullptr,
                   "still running %lu ms after the stop message (SHELL_STOP_MESSAGE, 0x8002, posted to its thread); "
                   "the usual cause is a GetMessage/DispatchMessage loop that waits for WM_QUIT: a thread message "
                   "reaches no window procedure, so look at msg.message in the loop itself; %s",
                   kStopWaitMs, ending);
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
        Begin("", Check::Unloaded, kCallLimitMs);
        FreeLibrary(host.library);
    }
    if (!host.unloadJudged) {
        const char *why = host.base == nullptr ? "never loaded" : "its thread never reached the unload";
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

} // namespace

void Sequence::Observer::Loaded(HMODULE library)
{
    if (!host_.coreOnItsThread)
        return; // loaded and hooked on the main thread already
    host_.loadedAt = GetTickCount();
    host_.base = library;
    host_.loadThreadsUnseen = !HookImports(host_, library);
}

void Sequence::Observer::LoadFailed(DWORD error)
{
    run_.loadError = error;
}

void Sequence::Observer::Entering()
{
    run_.threadId = GetCurrentThreadId();
}

void Sequence::Observer::Returned(int entryResult, bool signalled)
{
    run_.signalledBeforeReturn = signalled;
    run_.result = entryResult;
    InterlockedExchange(&run_.returned, 1);
}

bool Sequence::Observer::UnloadCoreNow()
{
    return !host_.coreOnItsThread || JudgeThreadsBeforeUnload(host_);
}

Sequence::Sequence(HostState &host)
    : host_(host), startup_(host, host.startup), service_(host, host.service), core_(host, host.core)
{
}

Sequence::Observer &Sequence::ObserverOf(Worker worker)
{
    return worker == Worker::Startup ? startup_ : worker == Worker::Service ? service_ : core_;
}

bool Sequence::Run(DWORD &error)
{
    HostState &host = host_;
    Begin("", Check::Export, kCallLimitMs);
    if (!ReadExports(host.path, host.exports, error))
        return false;
    const Exports &exports = host.exports;
    // The shell loads its core on the core thread, and every other library
    // on its main thread.
    host.coreOnItsThread = exports.HasRole(contract::Role::Core) && !exports.HasRole(contract::Role::Config) &&
                             !exports.HasRole(contract::Role::Services);
    host.library = nullptr;
    host.base = nullptr;
    host.unloadJudged = false;
    if (!host.coreOnItsThread) {
        Begin("", Check::Load, kCallLimitMs); // a DllMain that never returns hangs the host here
        host.loadStart = GetTickCount();
        host.library = LoadComponentLibrary(host.widePath.c_str(), host.search);
        if (host.library == nullptr) {
            error = GetLastError();
            return false;
        }
        host.loadedAt = GetTickCount();
        host.base = host.library;
        host.loadThreadsUnseen = !HookImports(host, host.library);
    }
    CheckExports(exports);
    if (!host.coreOnItsThread)
        Pass("", Check::Load, static_cast<long long>(host.loadedAt - host.loadStart));

    // The shell's order: configuration, startup, service, core; stopped core,
    // startup, service. The forced startup entry, which the shell runs
    // instead of the normal one with -s1, runs after them on its own.
    RunConfig(host, contract::kFillBuffer);
    for (Worker worker : contract::kStartOrder)
        StartRun(host, worker, contract::EntryOf(worker), ObserverOf(worker));
    for (Worker worker : contract::kStopOrder)
        StopRun(host, RunOf(host, worker));
    StartRun(host, Worker::Startup, contract::kForceStartup, startup_);
    StopRun(host, host.startup);
    RunConfig(host, contract::kFreeBuffer);
    if (host.core.loadError != ERROR_SUCCESS) {
        error = host.core.loadError;
        return false;
    }
    Unload(host);
    return true;
}
