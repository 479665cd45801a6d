// The host process: one library run exactly as the shell runs it (hosting's
// model), watched from inside, and reported to the checker record by record.
// The state is made once by the host and handed to the run; the hooks and
// the crash filter, which the library and the system call with no argument
// of ours, are handed it when installed.
#pragma once

#include "checks.h"
#include "hosting.h"

#include <array>
#include <string>
#include <vector>

constexpr DWORD kSettleMs = 200; // for the library's threads to wind down before its unload
constexpr LONG kMaxTrackedThreads = 64;

struct HostState;

// One entry's run on a worker thread, and what it was seen to do there, as
// hosting tells it (on the entry's own thread); and the policy of the core's
// unload. Lives as long as the host, which the entry's thread may outlast a run.
struct EntryRun final : EntryObserver {
    HostState *host = nullptr;
    const contract::Entry *entry = nullptr; // null when none runs
    WorkerThread worker;
    EntryContext context;
    WorkerStart start = WorkerStart::NotStarted;
    volatile DWORD threadId = 0;
    volatile LONG signals = 0;        // SetEvent calls on its ready event from the library
    volatile LONG queueAtSignal = -1; // at the first of them: 1 a queue, 0 none, -1 not seen
    volatile LONG returned = 0;
    int result = 0;
    bool signalledBeforeReturn = false;
    DWORD loadError = ERROR_SUCCESS; // the core's, when its thread could not load it

    bool Stoppable() const { return entry->call == contract::Call::Worker; }

    void Loaded(HMODULE library) override;
    void LoadFailed(DWORD error) override { loadError = error; }
    void Entering() override { threadId = GetCurrentThreadId(); }
    void Returned(int entryResult, bool signalled) override;
    bool UnloadCoreNow() override;
};

struct HostState {
    explicit HostState(const Options &hostOptions)
        : options(hostOptions), path(hostOptions.libraries[0]),
          installDir(hostOptions.installDir.empty() ? path.substr(0, path.rfind(L'\\')) : hostOptions.installDir)
    {
        for (EntryRun &run : runs)
            run.host = this;
    }
    HostState(const HostState &) = delete;
    HostState &operator=(const HostState &) = delete;

    const Options options;
    const std::wstring path;
    const std::wstring installDir;
    std::string installDirText; // as the entries are handed it: 8-bit, for the host's life
    LibrarySearch search = LibrarySearch::NotRestricted;
    Exports exports;
    bool coreOnItsThread = false; // only the core's role: its thread loads and unloads it
    HMODULE library = nullptr;    // as the main thread loaded it; null for a core on its thread
    const void *base = nullptr;   // where it was mapped
    bool terminated = false;      // a thread had to be terminated: what it held stays held
    bool unloadJudged = false;    // its threads were looked at before its unload
    bool threadsLeft = false;     // threads it started still ran at its unload: it stays mapped
    long long dllMainThreads = 0; // threads its DllMain started; -1 when they cannot be looked for
    DWORD loadStart = 0;          // GetTickCount as its load began
    volatile DWORD loadedAt = 0;  // and as it returned (on the core's thread, for a core)
    std::array<EntryRun, std::size(contract::kStartOrder)> runs; // by worker

    EntryRun &Run(contract::Worker worker) { return runs[static_cast<size_t>(worker)]; }
};

// Runs the library twice, reports, and ends the host process.
int RunHost(const Options &options);
// The run in the shell's order (sequence.cpp); false when the library cannot
// be loaded, with the reason in error.
bool RunLibrary(HostState &host, DWORD &error);

// ---- The records (host.cpp). A step that may hang is begun before it runs:
// the checker's watchdog and the leak record are told, and what the library
// writes from then on is put down to the step's entry.
void Begin(const char *entry, Check check, DWORD limitMs);
void Result(const char *entry, Check check, Verdict verdict, const long long *value, const char *format, ...);
void Pass(const char *entry, Check check, long long value, const char *detail = "");
// A record of one of the other kinds: Crash, Unloadable, Output (by the step running), Done.
void Send(RecordKind kind, const std::string &detail = "");
// The second run, the one that only counts: its results are not sent.
bool InSecondRun();

// ---- Watching the library from inside (hooks.cpp).
void StartQueueProbe();
void StopQueueProbe();
LONG HasQueue(DWORD threadId); // 1 a message queue, 0 none, -1 no answer came
// Hooks SetEvent, the thread-creating functions and the GDI makers in the
// library's imports (the hooks count the signals of the host's entries), and
// tracks the threads its DllMain started.
void HookImports(HostState &host, HMODULE library);
bool SetEventHooked();
// Threads running in the library's code just after it loaded: those its
// DllMain started, found by their start address, then tracked like the rest;
// how many, or -1 when they cannot be looked for.
long long TrackThreadsStartedWhileLoading(HMODULE library);
// The library's threads still running after kSettleMs; closes the handles of
// those that ended.
long long RunningLibraryThreads();
// Where the library thread with that id started, or null for none of its.
const void *StartOfLibraryThread(DWORD id);
// The second run's record of who made what: begun, a step noted, and what
// is left, "ShellMain left 1 event" (GDI objects: of count left).
void StartLeakRecord();
void NoteStep(const char *entry, Check check);
std::string HandlesLeftBy();
std::string GdiLeftBy(long long count);
