// The host process: loads one library, runs its entries exactly as the shell
// does (the same library search, thread start, ready-event wait and stop
// pattern), watches what they do and sends each verdict to the checker as
// soon as it is known. A crash, a hang or an ExitProcess here ends only
// this process; the checker reports it.

#include "checks.h"
#include "counts.h"
#include "hosting.h"
#include "image.h"
#include "shellcomponent.h"

#include <process.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

constexpr DWORD kCallLimitMs = 10000;     // for calls on the main thread: fill, free, unload
constexpr DWORD kSettleMs = 200;          // for threads to wind down after the unload
constexpr DWORD kProbeWaitMs = 5000;
constexpr int kServiceMainFlag = 1;       // what the shell hands SS_Main without -t
constexpr LONG kMaxTrackedThreads = 64;
constexpr size_t kRecordSize = 2048;

HANDLE g_Report;
bool g_SecondRun;  // the run that only counts: steps are sent, results are not
bool g_Terminated; // a thread had to be terminated: what it held stays held
Options g_Options;
std::string g_InstallDir;

// ---- Records

void SendLine(char *line, int length)
{
    if (length < 0 || length >= static_cast<int>(kRecordSize) - 1)
        length = static_cast<int>(kRecordSize) - 2;
    for (int i = 0; i < length; ++i) { // one record, one line
        if (line[i] == '\n' || line[i] == '\r')
            line[i] = ' ';
    }
    line[length++] = '\n';
    DWORD written;
    WriteFile(g_Report, line, static_cast<DWORD>(length), &written, nullptr);
}

void Send(const char *format, ...)
{
    char line[kRecordSize];
    va_list args;
    va_start(args, format);
    const int length = _vsnprintf(line, sizeof(line) - 1, format, args);
    va_end(args);
    SendLine(line, length);
}

void Plan(const char *entry, const char *check)
{
    if (!g_SecondRun)
        Send("%c\t%s\t%s", kRecordPlan, entry, check);
}

void Step(const char *entry, const char *check, DWORD limitMs)
{
    Send("%c\t%s\t%s\t%lu", kRecordStep, entry, check, limitMs);
}

void Result(const char *entry, const char *check, Verdict verdict, const long long *value, const char *format, ...)
{
    if (g_SecondRun)
        return;
    char detail[kRecordSize / 2];
    va_list args;
    va_start(args, format);
    _vsnprintf(detail, sizeof(detail) - 1, format, args);
    va_end(args);
    detail[sizeof(detail) - 1] = '\0';
    for (char *c = detail; *c != '\0'; ++c) {
        if (*c == '\t')
            *c = ' ';
    }
    char number[32] = "-";
    if (value != nullptr)
        _snprintf(number, sizeof(number), "%lld", *value);
    Send("%c\t%s\t%s\t%s\t%s\t%s", kRecordResult, entry, check, VerdictName(verdict), number, detail);
}

void Pass(const char *entry, const char *check, long long value, const char *detail = "")
{
    Result(entry, check, Verdict::Pass, &value, "%s", detail);
}

// ---- Entry runs

struct EntryRun {
    const char *name = nullptr;
    bool stoppable = false; // ShellMain and SS_Main: the stop message, the queue and the -1 rule
    WorkerThread worker;
    WorkerStart start = WorkerStart::NotStarted;
    volatile DWORD threadId = 0;
    volatile LONG signals = 0;        // SetEvent calls on its ready event from the library
    volatile LONG queueAtSignal = -1; // at the first of them: 1 a queue, 0 none, -1 not seen
    volatile LONG returned = 0;
    int result = 0;
    bool signalledBeforeReturn = false;
};

EntryRun g_Startup, g_Service, g_Core;
EntryRun *const g_Runs[] = {&g_Startup, &g_Service, &g_Core};

SS_MainProc g_SSMain;
ShellMainProc g_ShellMain;

// What an entry did by the time it returned, then its end as the shell's
// own thread routine would make it.
unsigned Finish(EntryRun &run, int result, HANDLE ready)
{
    run.signalledBeforeReturn = WaitForSingleObject(ready, 0) == WAIT_OBJECT_0;
    run.result = result;
    InterlockedExchange(&run.returned, 1);
    return FinishEntry(result, ready);
}

unsigned __stdcall ServiceRoutine(void *ready)
{
    g_Service.threadId = GetCurrentThreadId();
    return Finish(g_Service, g_SSMain(kServiceMainFlag, ready), ready);
}

unsigned __stdcall CoreRoutine(void *ready)
{
    g_Core.threadId = GetCurrentThreadId();
    return Finish(g_Core, g_ShellMain(g_InstallDir.c_str(), ready), ready);
}

// ---- Whether a thread has a message queue

// PostThreadMessage fails for a thread without a queue. The question is
// asked on the entry's own thread as it signals, so it is answered from a
// thread of this host's, started before the library is loaded.
class QueueProbe {
public:
    // Without its events or thread, every answer is -1.
    void Start()
    {
        InitializeCriticalSection(&lock_);
        request_.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        answer_.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        if (request_ && answer_)
            thread_.reset(CreateThread(nullptr, 0, Run, this, 0, nullptr));
    }
    // 1 when the thread has a queue, 0 when not, -1 when no answer came.
    LONG HasQueue(DWORD threadId)
    {
        EnterCriticalSection(&lock_);
        target_ = threadId;
        SetEvent(request_.get());
        const LONG answer = WaitForSingleObject(answer_.get(), kProbeWaitMs) == WAIT_OBJECT_0 ? answer_value_ : -1;
        LeaveCriticalSection(&lock_);
        return answer;
    }
    void Stop()
    {
        if (!thread_)
            return;
        target_ = 0;
        SetEvent(request_.get());
        WaitForSingleObject(thread_.get(), kProbeWaitMs);
        thread_.reset();
    }

private:
    static DWORD WINAPI Run(void *self)
    {
        auto probe = static_cast<QueueProbe *>(self);
        while (WaitForSingleObject(probe->request_.get(), INFINITE) == WAIT_OBJECT_0 && probe->target_ != 0) {
            probe->answer_value_ = PostThreadMessageA(probe->target_, WM_NULL, 0, 0) ? 1 : 0;
            SetEvent(probe->answer_.get());
        }
        return 0;
    }

    CRITICAL_SECTION lock_;
    UniqueHandle request_, answer_, thread_;
    volatile DWORD target_ = 0;
    volatile LONG answer_value_ = -1;
};

QueueProbe g_QueueProbe;

// ---- Hooks in the library's import table

using SetEventProc = BOOL(WINAPI *)(HANDLE);
using CreateThreadProc = HANDLE(WINAPI *)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                          LPDWORD);
using BeginThreadExProc = uintptr_t(__cdecl *)(void *, unsigned, unsigned(__stdcall *)(void *), void *, unsigned,
                                               unsigned *);
using BeginThreadProc = uintptr_t(__cdecl *)(void(__cdecl *)(void *), unsigned, void *);

SetEventProc g_RealSetEvent;
CreateThreadProc g_RealCreateThread;
BeginThreadExProc g_RealBeginThreadEx;
BeginThreadProc g_RealBeginThread;

HANDLE g_Threads[kMaxTrackedThreads]; // the library's own threads, for the check after the unload
LONG g_ThreadCount;

void TrackThread(HANDLE thread)
{
    HANDLE copy = nullptr;
    if (thread == nullptr || thread == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0))
        return;
    const LONG slot = InterlockedIncrement(&g_ThreadCount) - 1;
    if (slot < kMaxTrackedThreads)
        g_Threads[slot] = copy;
    else
        CloseHandle(copy);
}

BOOL WINAPI HookedSetEvent(HANDLE event)
{
    for (EntryRun *run : g_Runs) {
        if (event == nullptr || event != run->worker.ready.get())
            continue;
        if (InterlockedIncrement(&run->signals) == 1 && run->stoppable) {
            const DWORD thread = run->threadId != 0 ? run->threadId : GetCurrentThreadId();
            InterlockedExchange(&run->queueAtSignal, g_QueueProbe.HasQueue(thread));
        }
    }
    return g_RealSetEvent(event);
}

HANDLE WINAPI HookedCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                 LPVOID argument, DWORD flags, LPDWORD id)
{
    HANDLE thread = g_RealCreateThread(security, stack, start, argument, flags, id);
    TrackThread(thread);
    return thread;
}

uintptr_t __cdecl HookedBeginThreadEx(void *security, unsigned stack, unsigned(__stdcall *start)(void *),
                                      void *argument, unsigned flags, unsigned *id)
{
    const uintptr_t thread = g_RealBeginThreadEx(security, stack, start, argument, flags, id);
    TrackThread(reinterpret_cast<HANDLE>(thread));
    return thread;
}

uintptr_t __cdecl HookedBeginThread(void(__cdecl *start)(void *), unsigned stack, void *argument)
{
    const uintptr_t thread = g_RealBeginThread(start, stack, argument);
    TrackThread(reinterpret_cast<HANDLE>(thread)); // closed by the runtime when the thread ends
    return thread;
}

template <typename Proc>
void Hook(HMODULE library, const char *function, Proc replacement, Proc &real)
{
    real = reinterpret_cast<Proc>(PatchImport(library, function, reinterpret_cast<void *>(replacement)));
}

// ---- The library's exports

struct EntrySpec {
    const char *name;
    const char *role;
    const char *checks[5];
    const char *whenMissing;
};

const EntrySpec kEntries[] = {
    {"SH_CFG_FillBuffer", "config", {"config-fill"}, "the shell skips it"},
    {"SH_CFG_FreeBuffer", "config", {"config-free"}, "the shell skips it"},
    {"SS_RunStartup", "services", {"ready", "single-signal", "stop"}, "the shell runs no startup entry"},
    {"SS_ForceStartup", "services", {"ready", "single-signal", "stop"}, "with -s1 the shell runs no startup entry"},
    {"SS_Main", "services", {"ready", "single-signal", "queue-at-signal", "fail-before-signal", "stop"},
     "the shell runs no service thread"},
    {"ShellMain", "core", {"ready", "single-signal", "queue-at-signal", "fail-before-signal", "stop"},
     "the shell ends at once"},
};
const char *const kLibraryChecks[] = {"crash", "unloaded", "threads-left", "handles-left", "gdi-left"};

// An export that is the entry under a decorated name: __stdcall ("Name@4",
// "_Name@4"), an MSVC __cdecl underscore ("_Name"), or C++ ("?Name@@...",
// "_Z4Name...").
bool IsDecorated(const std::string &exported, const char *name)
{
    const std::string plain = name;
    const std::string itanium = "_Z" + std::to_string(plain.size()) + plain;
    return exported.rfind(plain + "@", 0) == 0 || exported.rfind("_" + plain + "@", 0) == 0 ||
           exported == "_" + plain || exported.rfind("?" + plain + "@", 0) == 0 || exported.rfind(itanium, 0) == 0;
}

struct Exports {
    std::vector<std::string> names;
    bool Plain(const char *name) const
    {
        for (const auto &exported : names) {
            if (exported == name)
                return true;
        }
        return false;
    }
    const char *Decorated(const char *name) const
    {
        for (const auto &exported : names) {
            if (IsDecorated(exported, name))
                return exported.c_str();
        }
        return nullptr;
    }
    bool HasRole(const char *role) const
    {
        for (const auto &entry : kEntries) {
            if (strcmp(entry.role, role) == 0 && (Plain(entry.name) || Decorated(entry.name) != nullptr))
                return true;
        }
        return false;
    }
};

// Announces every check this run will report, and reports the exports.
void PlanAndCheckExports(const Exports &exports)
{
    bool anyRole = false;
    for (const auto &entry : kEntries) {
        if (!exports.HasRole(entry.role))
            continue;
        anyRole = true;
        Plan(entry.name, "export");
        if (exports.Plain(entry.name)) {
            for (const char *check : entry.checks) {
                if (check != nullptr)
                    Plan(entry.name, check);
            }
        }
    }
    if (!anyRole)
        Plan(kNoEntry, "export");
    for (const char *check : kLibraryChecks)
        Plan(kNoEntry, check);

    for (const auto &entry : kEntries) {
        if (!exports.HasRole(entry.role))
            continue;
        if (exports.Plain(entry.name))
            Result(entry.name, "export", Verdict::Pass, nullptr, "");
        else if (const char *decorated = exports.Decorated(entry.name))
            Result(entry.name, "export", Verdict::Fail, nullptr,
                   "exported only as \"%s\": name it plainly in a .def file", decorated);
        else
            Result(entry.name, "export", Verdict::Fail, nullptr, "missing: %s", entry.whenMissing);
    }
    if (!anyRole)
        Result(kNoEntry, "export", Verdict::Fail, nullptr,
               "no contract export (SH_CFG_FillBuffer, SS_Main, ShellMain, ...): not a shell component");
}

// ---- Running and stopping entries

long long Since(DWORD start)
{
    return static_cast<long long>(GetTickCount() - start);
}

void StartRun(EntryRun &run, const char *name, bool stoppable, unsigned(__stdcall *routine)(void *))
{
    run.name = name;
    run.stoppable = stoppable;
    run.threadId = 0;
    run.signals = 0;
    run.queueAtSignal = -1;
    run.returned = 0;

    Step(name, "ready", g_Options.readyTimeoutMs);
    const DWORD start = GetTickCount();
    run.start = StartWorkerThread(routine, run.worker, g_Options.readyTimeoutMs);
    const long long readyMs = Since(start);
    if (run.threadId == 0)
        run.threadId = run.worker.id;

    switch (run.start) {
    case WorkerStart::Signalled:
        if (run.returned && run.result == SHELL_ENTRY_FAILED && !run.signalledBeforeReturn)
            Result(name, "ready", Verdict::NotObservable, nullptr,
                   "returned -1 before signalling: it failed to start, as the contract allows");
        else
            Pass(name, "ready", readyMs);
        break;
    case WorkerStart::Ended:
        if (run.returned)
            Result(name, "ready", Verdict::Fail, nullptr, "returned %d without signalling its ready event", run.result);
        else
            Result(name, "ready", Verdict::Fail, nullptr, "ended without signalling its ready event");
        break;
    case WorkerStart::TimedOut:
        Result(name, "ready", Verdict::Fail, nullptr,
               "not signalled within %lu ms: the shell's start-up would wait for ever", g_Options.readyTimeoutMs);
        break;
    case WorkerStart::NotStarted:
        Result(name, "ready", Verdict::NotObservable, nullptr, "the thread could not be started");
        break;
    }

    // Without the SetEvent hook, a queue can only be looked for just after
    // the signal: its absence then is a fault, its presence proves nothing.
    if (stoppable && run.start == WorkerStart::Signalled && g_RealSetEvent == nullptr && !run.returned &&
        g_QueueProbe.HasQueue(run.threadId) == 0)
        run.queueAtSignal = 0;
}

void ReportSignals(const EntryRun &run)
{
    const long long signals = run.signals;
    if (g_RealSetEvent == nullptr)
        Result(run.name, "single-signal", Verdict::NotObservable, nullptr,
               "the library does not import SetEvent, so its signals cannot be counted");
    else if (signals == 0)
        Result(run.name, "single-signal", Verdict::NotObservable, nullptr, "never signalled");
    else if (signals == 1)
        Pass(run.name, "single-signal", signals);
    else
        Result(run.name, "single-signal", Verdict::Fail, &signals,
               "signalled %lld times: a second signal may release the next component before it is up", signals);
}

void ReportQueueAndResult(const EntryRun &run)
{
    if (run.queueAtSignal == 1)
        Result(run.name, "queue-at-signal", Verdict::Pass, nullptr, "");
    else if (run.queueAtSignal == 0)
        Result(run.name, "queue-at-signal", Verdict::Fail, nullptr,
               "no message queue when it signalled: the stop message cannot be posted to it "
               "(call PeekMessage before SetEvent)");
    else
        Result(run.name, "queue-at-signal", Verdict::NotObservable, nullptr,
               g_RealSetEvent == nullptr ? "the library does not import SetEvent" : "never signalled");

    if (!run.returned)
        Result(run.name, "fail-before-signal", Verdict::NotObservable, nullptr, "never returned");
    else if (run.result != SHELL_ENTRY_FAILED)
        Result(run.name, "fail-before-signal", Verdict::Pass, nullptr, "returned %d", run.result);
    else if (!run.signalledBeforeReturn)
        Result(run.name, "fail-before-signal", Verdict::Pass, nullptr, "returned -1 before signalling");
    else
        Result(run.name, "fail-before-signal", Verdict::Fail, nullptr,
               "returned -1 after signalling: -1 means a failure before the signal");
}

void StopRun(EntryRun &run)
{
    if (!run.worker) {
        Result(run.name, "stop", Verdict::NotObservable, nullptr, "the thread was never started");
    } else {
        Step(run.name, "stop", kStopWaitMs + kTerminateWaitMs);
        const bool endedBefore = WaitForSingleObject(run.worker.get(), 0) == WAIT_OBJECT_0;
        const DWORD start = GetTickCount();
        const WorkerStopResult stop = StopWorkerThread(run.worker, run.stoppable, nullptr);
        const long long stopMs = Since(start);
        const char *ending = stop.outcome == WorkerStop::Terminated ? "terminated" : "could not be terminated";
        g_Terminated = g_Terminated || stop.outcome == WorkerStop::Terminated || stop.outcome == WorkerStop::Unstoppable;
        if (endedBefore)
            Pass(run.name, "stop", 0, run.stoppable ? "ended by itself before the stop message" : "ended by itself");
        else if (stop.outcome == WorkerStop::Ended)
            Pass(run.name, "stop", stopMs);
        else if (!run.stoppable)
            Result(run.name, "stop", Verdict::Fail, nullptr,
                   "did not end by itself within %lu ms of the shutdown (it gets no message); %s", kStopWaitMs,
                   ending);
        else if (!stop.stopPosted)
            Result(run.name, "stop", Verdict::Fail, nullptr,
                   "the stop message could not be posted (no message queue); still running %lu ms later; %s",
                   kStopWaitMs, ending);
        else
            Result(run.name, "stop", Verdict::Fail, nullptr, "still running %lu ms after the stop message; %s",
                   kStopWaitMs, ending);
    }
    ReportSignals(run);
    if (run.stoppable)
        ReportQueueAndResult(run);
}

// ---- The run

void RunConfig(HMODULE library, const Exports &exports, bool fill)
{
    const char *name = fill ? "SH_CFG_FillBuffer" : "SH_CFG_FreeBuffer";
    const char *check = fill ? "config-fill" : "config-free";
    if (!exports.Plain(name))
        return;
    Step(name, check, kCallLimitMs);
    const DWORD start = GetTickCount();
    if (fill) {
        const char *config = g_Options.configFile.empty() ? nullptr : g_Options.configFile.c_str();
        FindEntry<SH_CFG_FillBufferProc>(library, name)(g_InstallDir.c_str(), config);
    } else {
        FindEntry<SH_CFG_FreeBufferProc>(library, name)();
    }
    Pass(name, check, Since(start));
}

void RunEntries(HMODULE library, const Exports &exports)
{
    const auto runStartup = exports.Plain("SS_RunStartup") ? FindEntry<SS_StartupProc>(library, "SS_RunStartup") : nullptr;
    const auto forceStartup =
        exports.Plain("SS_ForceStartup") ? FindEntry<SS_StartupProc>(library, "SS_ForceStartup") : nullptr;
    g_SSMain = exports.Plain("SS_Main") ? FindEntry<SS_MainProc>(library, "SS_Main") : nullptr;
    g_ShellMain = exports.Plain("ShellMain") ? FindEntry<ShellMainProc>(library, "ShellMain") : nullptr;

    // The shell's order: configuration, startup, service, core; stopped core,
    // startup, service. The forced startup entry, which the shell runs
    // instead of the normal one with -s1, runs after them on its own.
    RunConfig(library, exports, true);
    if (runStartup != nullptr)
        StartRun(g_Startup, "SS_RunStartup", false, runStartup);
    if (g_SSMain != nullptr)
        StartRun(g_Service, "SS_Main", true, ServiceRoutine);
    if (g_ShellMain != nullptr)
        StartRun(g_Core, "ShellMain", true, CoreRoutine);
    if (g_ShellMain != nullptr)
        StopRun(g_Core);
    if (runStartup != nullptr)
        StopRun(g_Startup);
    if (g_SSMain != nullptr)
        StopRun(g_Service);
    if (forceStartup != nullptr) {
        StartRun(g_Startup, "SS_ForceStartup", false, forceStartup);
        StopRun(g_Startup);
    }
    RunConfig(library, exports, false);
}

// Frees the library and reports whether it is gone, with the threads it
// started.
void Unload(HMODULE library)
{
    Step(kNoEntry, "unloaded", kCallLimitMs);
    const void *base = library;
    FreeLibrary(library);
    if (IsUnmapped(base))
        Result(kNoEntry, "unloaded", Verdict::Pass, nullptr, "");
    else
        Result(kNoEntry, "unloaded", Verdict::Fail, nullptr,
               "still mapped after FreeLibrary: something holds a reference to it");

    Step(kNoEntry, "threads-left", kSettleMs);
    Sleep(kSettleMs);
    long long running = 0;
    const LONG tracked = g_ThreadCount < kMaxTrackedThreads ? g_ThreadCount : kMaxTrackedThreads;
    for (LONG i = 0; i < tracked; ++i) {
        running += WaitForSingleObject(g_Threads[i], 0) == WAIT_TIMEOUT ? 1 : 0;
        CloseHandle(g_Threads[i]);
    }
    g_ThreadCount = 0;
    if (running == 0)
        Pass(kNoEntry, "threads-left", 0, "threads it started with CreateThread, _beginthreadex or _beginthread");
    else
        Result(kNoEntry, "threads-left", Verdict::Fail, &running,
               "%lld of the threads it started still run after the unload", running);
}

// Loads the library, runs every entry and unloads it again. False when it
// cannot be loaded, with the reason in GetLastError().
bool RunLibrary(const char *path)
{
    Step(kNoEntry, "export", kCallLimitMs);
    HMODULE library = LoadComponentLibrary(path);
    if (library == nullptr)
        return false;
    const Exports exports{ExportNames(library)};
    PlanAndCheckExports(exports);
    Hook(library, "SetEvent", HookedSetEvent, g_RealSetEvent);
    Hook(library, "CreateThread", HookedCreateThread, g_RealCreateThread);
    Hook(library, "_beginthreadex", HookedBeginThreadEx, g_RealBeginThreadEx);
    Hook(library, "_beginthread", HookedBeginThread, g_RealBeginThread);
    RunEntries(library, exports);
    Unload(library);
    return true;
}

void Count(const char *check, const Counter &counter, long long afterFirstRun, const char *what)
{
    const long long left = counter.count() - afterFirstRun;
    const char *how = counter.how;
    if (left <= 0)
        Pass(kNoEntry, check, 0, how);
    else
        Result(kNoEntry, check, Verdict::Fail, &left, "%s a run leaves held: %lld (%s)", what, left, how);
}

const char *ExceptionName(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "access violation";
    case EXCEPTION_STACK_OVERFLOW: return "stack overflow";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "integer division by zero";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "illegal instruction";
    case EXCEPTION_BREAKPOINT: return "breakpoint";
    case STATUS_STACK_BUFFER_OVERRUN: return "stack buffer overrun";
    default: return "exception";
    }
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS *pointers)
{
    const EXCEPTION_RECORD &record = *pointers->ExceptionRecord;
    char where[MAX_PATH + 64] = "an address outside any module";
    HMODULE module = nullptr;
    char path[MAX_PATH];
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<const char *>(record.ExceptionAddress), &module) &&
        GetModuleFileNameA(module, path, sizeof(path)) > 0) {
        const char *name = strrchr(path, '\\') != nullptr ? strrchr(path, '\\') + 1 : path;
        _snprintf(where, sizeof(where) - 1, "%s+0x%lx", name,
                  static_cast<unsigned long>(static_cast<const BYTE *>(record.ExceptionAddress) -
                                             reinterpret_cast<const BYTE *>(module)));
    }
    char access[64] = "";
    if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2)
        _snprintf(access, sizeof(access) - 1, " %s 0x%p",
                  record.ExceptionInformation[0] == 1 ? "writing" : record.ExceptionInformation[0] == 8 ? "executing" : "reading",
                  reinterpret_cast<void *>(record.ExceptionInformation[1]));
    const char *entry = "the host's main thread";
    for (const EntryRun *run : g_Runs) {
        if (run->name != nullptr && run->threadId == GetCurrentThreadId())
            entry = run->name;
    }
    Send("%c\t%s (0x%08lX)%s at %s, in the thread of %s%s", kRecordCrash, ExceptionName(record.ExceptionCode),
         record.ExceptionCode, access, where, entry, g_SecondRun ? ", in the second run (the one that counts)" : "");
    TerminateProcess(GetCurrentProcess(), record.ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The system's text for an error code, on one line, with the file named.
std::string SystemMessage(DWORD error, const std::string &path)
{
    char text[512] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, sizeof(text), nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    const size_t insert = message.find("%1");
    if (insert != std::string::npos)
        message.replace(insert, 2, path);
    if (error == ERROR_BAD_EXE_FORMAT)
        message += sizeof(void *) == 4 ? " (a 64-bit library? use the 64-bit componentcheck)"
                                       : " (a 32-bit library? use the 32-bit componentcheck)";
    return message + " (error " + std::to_string(error) + ")";
}

} // namespace

int RunHost(const Options &options)
{
    g_Options = options;
    g_Report = options.report;
    const std::string &path = options.libraries[0];
    g_InstallDir = options.installDir.empty() ? path.substr(0, path.rfind('\\')) : options.installDir;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(OnCrash);

    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // a queue, as the shell's main thread has
    g_QueueProbe.Start();
    if (!RestrictLibrarySearch() || !RunLibrary(path.c_str())) {
        Send("%c\t%s", kRecordUnloadable, SystemMessage(GetLastError(), path).c_str());
        return 2;
    }

    // What the library leaves held is what a second run of it adds: the
    // system's one-time allocations (a cached registry key, say) made during
    // the first run do not count against it.
    const Counter handles = ChooseHandleCounter();
    const Counter gdi = ChooseGdiCounter();
    const long long handlesAfterFirstRun = handles.count();
    const long long gdiAfterFirstRun = gdi.count();
    const char *uncounted = nullptr;
    if (g_Terminated) {
        uncounted = "a thread had to be terminated, and what it held stays held";
    } else {
        g_SecondRun = true;
        if (!RunLibrary(path.c_str()))
            uncounted = "could not be loaded a second time";
        g_SecondRun = false;
    }
    if (uncounted == nullptr) {
        Count("handles-left", handles, handlesAfterFirstRun, "kernel handles");
        Count("gdi-left", gdi, gdiAfterFirstRun, "GDI objects");
    } else {
        for (const char *check : {"handles-left", "gdi-left"})
            Result(kNoEntry, check, Verdict::NotObservable, nullptr, "%s", uncounted);
    }
    g_QueueProbe.Stop();
    Result(kNoEntry, "crash", Verdict::Pass, nullptr, "no crash, hang or early exit");
    Send("%c", kRecordDone);
    return 0;
}
