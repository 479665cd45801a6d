// How the shell's components are hosted, shared by launcher.exe and
// componentcheck.exe so that the checker runs entries exactly as the shell
// does: the library search, worker threads started on a ready event, the
// handling of an entry's -1, and the stop pattern.
#pragma once

#include "UniqueHandle.h"
#include "contract.h"
#include "shellcomponent.h"

// ---- Libraries

// How components are loaded, as RestrictLibrarySearch settled it.
enum class LibrarySearch {
    NotRestricted,      // nothing could be set: no component loads at all
    DefaultDirectories, // SetDefaultDllDirectories: the component's, the application's and the system's directories
    NoCurrentDirectory, // only SetDllDirectory(""): PATH is still searched
    GivenApplication,   // a checker's: the component's, the shell's application directory (given) and the system's
};

// Takes the current directory and PATH out of the library search for the
// whole process, before any component is loaded. A checker, which is not
// in the shell's installation directory, names that directory: it stands in
// for the application's, and the checker's own is never searched.
LibrarySearch RestrictLibrarySearch(const wchar_t *applicationDir = nullptr);

// Loads a component by its full path, its dependencies searched only in its
// own directory, the application's and the system's. Null on failure, with
// the system's reason in GetLastError().
HMODULE LoadComponentLibrary(const wchar_t *path, LibrarySearch search);

// ---- Worker threads

// A worker thread with its identifier and its ready event. The event stays
// open until the thread has ended and is reaped or stopped: an entry that
// signals late or twice must never hit a handle value the system has since
// given to the next thread's ready event.
struct EntryContext;

// The entry gets a handle of its own to the ready event, so that nothing it
// does to its handle (closing it, say) can make the shell close or wait on a
// handle that is no longer the shell's; it is closed only while it is still
// one to the same event.
struct WorkerThread {
    UniqueHandle thread;
    UniqueHandle ready;          // the shell's own
    UniqueHandle entryReady;     // the entry's copy
    DWORD id = 0;
    const EntryContext *context = nullptr; // its routine's, which says when the entry has returned

    explicit operator bool() const { return static_cast<bool>(thread); }
    HANDLE get() const { return thread.get(); }
    // Closes the thread and its ready event; only once the thread has ended.
    void reset();
};

// Whether the entry's copy of its ready event still refers to the event: false
// once the entry has closed it (or its value names another object since).
// True where the system cannot tell.
bool EntryKeptItsEvent(const WorkerThread &worker);

enum class WorkerStart {
    NotStarted, // no event or no thread could be made
    Signalled,  // the ready event was signalled
    Ended,      // the thread ended without signalling
    TimedOut,   // neither within the time allowed (never, for the shell)
};

// What a checker watches of an entry on a worker thread; the shell watches
// nothing. Each is called on the entry's own thread.
class EntryObserver {
public:
    virtual void Loaded(HMODULE library) = 0; // the core, just loaded on its thread
    virtual void LoadFailed(DWORD error) = 0; // the core could not be loaded
    virtual void Entering() = 0;
    virtual void Returned(int result, bool signalled) = 0;
    // Policy, not an observation: whether the core's thread unloads it now
    // (false leaves it mapped), asked just before.
    virtual bool UnloadCoreNow() = 0;

protected:
    ~EntryObserver() = default;
};

// What a worker's routine is given, filled in by RunWorker; it outlives the
// thread.
struct EntryContext {
    HANDLE ready = nullptr;     // the entry's copy
    HANDLE hostReady = nullptr; // the shell's own, which the routine signals in the entry's stead
    // Set once the entry has returned: the thread is then only exiting, and
    // is never terminated (its exit may hold the loader's lock).
    volatile LONG returned = 0;
    // The startup thread's entry, run as it is, with no -1 handling.
    SS_StartupProc startup = nullptr;
    // The service thread's entry and its flag.
    SS_MainProc serviceMain = nullptr;
    int serviceMainFlag = 1;
    // The core thread's library, loaded and unloaded on that thread.
    const wchar_t *corePath = nullptr; // null: no core to load
    LibrarySearch search = LibrarySearch::NotRestricted;
    const char *installDir = nullptr; // what ShellMain is handed, 8-bit as the contract has it
    EntryObserver *observer = nullptr;
};

// What the workers' entries take, for RunWorker; each worker uses its part.
struct WorkerSetup {
    HMODULE services = nullptr;         // startup, service: the library of their entries; null: none
    const char *startupEntry = nullptr; // startup: kRunStartup or kForceStartup; null: none runs
    int serviceMainFlag = 1;            // service
    const wchar_t *corePath = nullptr;  // core: the library its own thread loads; null: no core
    LibrarySearch search = LibrarySearch::NotRestricted;
    const char *installDir = nullptr;   // core: what ShellMain is handed
    EntryObserver *observer = nullptr;  // a checker's; null for the shell
};

// Runs one worker as the shell does: its entry looked up, context filled
// in, its routine (the entry called with its own copy of the ready event;
// the service's and core's -1 handled by FinishEntry; the core loaded and
// unloaded on its thread) started on a new thread; then blocks until the
// ready event is signalled or the thread ends: a thread that is gone can
// never signal, and start-up must not hang on it. NotStarted, and no
// thread, for a startup or service worker whose library or entry is absent.
WorkerStart RunWorker(contract::Worker worker, const WorkerSetup &setup, WorkerThread &thread, EntryContext &context,
                      DWORD readyTimeoutMs = INFINITE);

// A worker's exit code for its entry's result. -1 means the entry failed
// before signalling, so the ready event is signalled here in its stead.
unsigned FinishEntry(int result, HANDLE ready);

// How long a thread has to end after it is asked to, and how long a
// terminated one is then waited for (TerminateThread only starts its end).
constexpr DWORD kStopWaitMs = 10000;
constexpr DWORD kTerminateWaitMs = 5000;

enum class WorkerStop {
    Absent,      // no thread to stop
    Ended,       // ended within kStopWaitMs
    EndedLate,   // ended after that, while the notice was shown
    Terminated,  // terminated, and gone
    Unstoppable, // could not be terminated, or not seen to end after it
};

struct WorkerStopResult {
    WorkerStop outcome;
    bool stopPosted;       // the stop message reached the thread's queue
    bool entryKeptEvent;   // its copy of the ready event was not closed (EntryKeptItsEvent)
};

// The box shown before a thread that does not stop is terminated.
struct Notice {
    const char *caption;
    const char *text;
};

// Stops a worker thread: posts the stop message (when postStop is set), gives
// it stopWaitMs, then shows the notice (unless null) and terminates the
// thread if it still runs. Closes its handle and ready event only once it
// has ended: an Unstoppable thread keeps them, and whatever library it runs
// in must stay mapped too. The notice is shown from a thread of its own:
// a component that keeps posting WM_QUIT to the caller's thread would end
// a box shown there before anyone saw it.
WorkerStopResult StopWorkerThread(WorkerThread &worker, bool postStop, const Notice *notice,
                                  DWORD stopWaitMs = kStopWaitMs);
