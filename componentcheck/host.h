// The host process: one library, run exactly as the shell runs it (hosting's
// model), watched, and every verdict sent to the checker as soon as it is
// known. Its whole state is one object, g_Host.
#pragma once

#include "checks.h"
#include "hosting.h"

#include <string>
#include <vector>

constexpr DWORD kCallLimitMs = 10000; // for calls on the main thread: fill, free, unload
constexpr DWORD kSettleMs = 200;      // for the library's threads to wind down before its unload
constexpr LONG kMaxTrackedThreads = 64;

// One entry's run on a worker thread, and what it was seen to do there.
struct EntryRun final : EntryObserver {
    const contract::Entry *entry = nullptr;
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
    void Reset(const contract::Entry &which);

    void Loaded(HMODULE library) override;
    void LoadFailed(DWORD error) override;
    void Entering() override;
    void Returned(int result, bool signalled) override;
    bool UnloadCoreNow() override;
};

// A thread the library started, known from its creation.
struct LibraryThread {
    UniqueHandle handle; // SYNCHRONIZE only
    DWORD id;
    const void *start;
};

// What the library exports, and the roles that makes it play.
struct Exports {
    std::vector<std::string> names;
    bool Plain(const char *name) const;
    const char *Decorated(const char *name) const; // the decorated export standing for name, or null
    bool HasRole(contract::Role role) const;
};

struct HostState {
    Options options;
    std::string installDir;
    std::string path;
    Exports exports;
    LibrarySearch search = LibrarySearch::NotRestricted;
    bool coreOnItsThread = false; // only the core's role: its thread loads and unloads it
    HMODULE library = nullptr;    // as the main thread loaded it; null for a core on its thread
    const void *base = nullptr;   // where it was mapped
    bool secondRun = false;       // the run that only counts: steps are sent, results are not
    bool terminated = false;      // a thread had to be terminated: what it held stays held
    bool unloadJudged = false;    // its threads were looked at before its unload
    bool threadsLeft = false;     // threads it started still ran at its unload: it stays mapped
    bool loadThreadsUnseen = false; // the threads its loading started could not be looked for
    DWORD loadStart = 0;            // GetTickCount as its load began
    volatile DWORD loadedAt = 0;    // and as it returned (on the core's thread, for a core)
    EntryRun startup, service, core;
    LibraryThread threads[kMaxTrackedThreads];
    volatile LONG threadCount = 0;
};

extern HostState g_Host;

// ---- Records to the checker (host.cpp)
void Plan(const std::string &entry, Check check);
void Step(const std::string &entry, Check check, DWORD limitMs);
void Result(const std::string &entry, Check check, Verdict verdict, const long long *value, const char *format, ...);
void Pass(const std::string &entry, Check check, long long value, const char *detail = "");
void SendCrash(const std::string &detail);
// Ends the host once the library's load was found not to return: nothing
// after it can run.
[[noreturn]] void EndAfterHungLoad();

// ---- Hooks on the library's imports, its threads, the queue probe (hooks.cpp)
void StartQueueProbe();
void StopQueueProbe();
// 1 when the thread has a message queue, 0 when not, -1 when no answer came.
LONG HasQueue(DWORD threadId);
// Hooks SetEvent and the thread-creating functions in the library's imports.
void HookImports(HMODULE library);
bool SetEventHooked();
// The library's threads still running after kSettleMs; closes the handles of
// those that ended.
long long RunningLibraryThreads();
// The library thread with that id, or null.
const LibraryThread *FindLibraryThread(DWORD id);

// ---- Who left what (leaks.cpp)
// Hooks the functions that make GDI objects in the library's imports.
void HookGdiMakers(HMODULE library);
// Begins the second run's record of who made what.
void StartLeakRecord();
// In the second run: puts what appeared since the last step down to this
// one (an entry's name, or "loading it", "unloading it").
void NoteWhoMade(const char *who);
// Who left the kernel handles held now that were not when the second run
// began, and of what types: "ShellMain left 1 event". Empty when none is seen.
std::string HandlesLeftBy();
// Likewise for the GDI objects, of which count are left.
std::string GdiLeftBy(long long count);

// ---- Exports and roles (roles.cpp)
// Reads the export names from the file, without running the library.
bool ReadExports(const std::string &path, Exports &exports, DWORD &error);
// Announces every check this run will report, and reports the exports.
void PlanAndCheckExports(const Exports &exports);

// ---- The run as the shell makes it (sequence.cpp)
// Runs every entry and unloads the library again. False when it cannot be
// loaded, with the reason in error.
bool RunLibrary(DWORD &error);

// ---- Crashes and errors (crash.cpp)
LONG WINAPI OnCrash(EXCEPTION_POINTERS *pointers);
// The system's text for an error code, on one line, with the file named.
std::string SystemMessage(DWORD error, const std::string &path);

// ---- Why it cannot be loaded (diagnose.cpp)
// What is wrong with the file or what it needs, for the load's error.
std::string WhyUnloadable(const std::string &path, DWORD error);
