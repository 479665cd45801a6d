// The host process's state: one library, run exactly as the shell runs it
// (hosting's model), and what was seen of it. Made once by the host and
// handed to the run; the hooks and the crash filter, which the library and
// the system call with no argument of ours, are handed it when installed.
// Only data: what watches the library writes it.
#pragma once

#include "checks.h"
#include "hosting.h"
#include "roles.h"

#include <string>
#include <vector>

constexpr DWORD kCallLimitMs = 10000; // for calls on the main thread: fill, free, unload
constexpr DWORD kSettleMs = 200;      // for the library's threads to wind down before its unload
constexpr LONG kMaxTrackedThreads = 64;

// One entry's run on a worker thread, and what it was seen to do there.
struct EntryRun {
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
    // Ready for a run of that entry: nothing seen yet.
    void Reset(const contract::Entry &which);
};

struct HostState {
    // The library is options.libraries[0]; search, whether the library
    // search could be restricted, as the shell restricts it.
    HostState(const Options &options, LibrarySearch search);
    HostState(const HostState &) = delete;
    HostState &operator=(const HostState &) = delete;

    const Options options;
    const std::string path;
    const std::wstring widePath; // the same, as the library is loaded
    const std::string installDir;
    const LibrarySearch search;
    Exports exports;
    bool coreOnItsThread = false; // only the core's role: its thread loads and unloads it
    HMODULE library = nullptr;    // as the main thread loaded it; null for a core on its thread
    const void *base = nullptr;   // where it was mapped
    bool terminated = false;      // a thread had to be terminated: what it held stays held
    bool unloadJudged = false;    // its threads were looked at before its unload
    bool threadsLeft = false;     // threads it started still ran at its unload: it stays mapped
    bool loadThreadsUnseen = false; // the threads its loading started could not be looked for
    DWORD loadStart = 0;            // GetTickCount as its load began
    volatile DWORD loadedAt = 0;    // and as it returned (on the core's thread, for a core)
    EntryRun startup, service, core;
};
