// Library search, worker threads and the stop pattern, as the shell hosts
// its components.

#include "hosting.h"

#include "shellcomponent.h"

#include <process.h>

namespace {

// How components are loaded, settled once by RestrictLibrarySearch.
enum class LibrarySearch { NotRestricted, DefaultDirectories, NoCurrentDirectory };
LibrarySearch g_LibrarySearch = LibrarySearch::NotRestricted;

// A component's dependencies come from its own directory, then the
// application's and the system's; never the current directory or PATH.
constexpr DWORD kComponentSearch = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

constexpr UINT kNoticeStyle = MB_SYSTEMMODAL | MB_ICONWARNING | MB_OK;
constexpr char kNoticeCaption[] = "Brevant - Notice!";

template <typename Proc>
Proc FindKernelEntry(const char *name)
{
    return FindEntry<Proc>(GetModuleHandleA("kernel32.dll"), name);
}

bool HasEnded(HANDLE thread, DWORD waitMs)
{
    return WaitForSingleObject(thread, waitMs) == WAIT_OBJECT_0;
}

} // namespace

bool RestrictLibrarySearch()
{
    // Looked up at run time: Windows 7 has SetDefaultDllDirectories only with
    // its update KB2533623, and the shell must start without it.
    using SetDefaultDllDirectoriesProc = BOOL(WINAPI *)(DWORD);
    using SetDllDirectoryProc = BOOL(WINAPI *)(const char *);
    const auto setDefault = FindKernelEntry<SetDefaultDllDirectoriesProc>("SetDefaultDllDirectories");
    const auto setDirectory = FindKernelEntry<SetDllDirectoryProc>("SetDllDirectoryA");

    if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS))
        g_LibrarySearch = LibrarySearch::DefaultDirectories;
    else if (setDirectory != nullptr && setDirectory(""))
        g_LibrarySearch = LibrarySearch::NoCurrentDirectory; // PATH is still searched
    else
        g_LibrarySearch = LibrarySearch::NotRestricted;
    return g_LibrarySearch != LibrarySearch::NotRestricted;
}

HMODULE LoadComponentLibrary(const char *path)
{
    switch (g_LibrarySearch) {
    case LibrarySearch::DefaultDirectories:
        return LoadLibraryExA(path, nullptr, kComponentSearch);
    case LibrarySearch::NoCurrentDirectory:
        return LoadLibraryA(path);
    case LibrarySearch::NotRestricted:
        break;
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

WorkerStart StartWorkerThread(unsigned(__stdcall *routine)(void *), WorkerThread &worker, DWORD readyTimeoutMs)
{
    worker.ready.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!worker.ready)
        return WorkerStart::NotStarted;

    unsigned id = 0;
    worker.thread.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, routine, worker.ready.get(), 0, &id)));
    if (!worker.thread) {
        worker.ready.reset();
        return WorkerStart::NotStarted;
    }
    const HANDLE waitFor[] = {worker.ready.get(), worker.thread.get()};
    const DWORD result = WaitForMultipleObjects(2, waitFor, FALSE, readyTimeoutMs);
    worker.id = id;
    if (result == WAIT_OBJECT_0)
        return WorkerStart::Signalled;
    return result == WAIT_OBJECT_0 + 1 ? WorkerStart::Ended : WorkerStart::TimedOut;
}

unsigned FinishEntry(int result, HANDLE ready)
{
    if (result != SHELL_ENTRY_FAILED)
        return static_cast<unsigned>(result);
    SetEvent(ready);
    return static_cast<unsigned>(SHELL_ENTRY_FAILED);
}

WorkerStopResult StopWorkerThread(WorkerThread &worker, bool postStop, const char *notice)
{
    WorkerStopResult stop{WorkerStop::Absent, false};
    if (!worker)
        return stop;
    if (postStop)
        stop.stopPosted = PostThreadMessageA(worker.id, SHELL_STOP_MESSAGE, 0, 0) != FALSE;

    if (HasEnded(worker.get(), kStopWaitMs)) {
        stop.outcome = WorkerStop::Ended;
    } else {
        if (notice != nullptr)
            MessageBoxA(nullptr, notice, kNoticeCaption, kNoticeStyle);
        if (HasEnded(worker.get(), 0))
            stop.outcome = WorkerStop::EndedLate;
        else if (TerminateThread(worker.get(), static_cast<DWORD>(SHELL_ENTRY_FAILED)) &&
                 HasEnded(worker.get(), kTerminateWaitMs))
            stop.outcome = WorkerStop::Terminated;
        else
            stop.outcome = WorkerStop::Unstoppable;
    }
    if (stop.outcome == WorkerStop::Unstoppable) {
        // Still running: its handles stay open for good rather than be reused.
        worker.thread.release();
        worker.ready.release();
    }
    worker.reset();
    return stop;
}
