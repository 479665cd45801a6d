// Library search, worker threads and the stop pattern, as the shell hosts
// its components.

#include "hosting.h"

#include "Library.h"

#include <process.h>

namespace {

// A component's dependencies come from its own directory, then the
// application's and the system's; never the current directory or PATH.
constexpr DWORD kComponentSearch = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

constexpr UINT kNoticeStyle = MB_SYSTEMMODAL | MB_ICONWARNING | MB_OK;

// Stack kept back for the crash filter, which runs on the crashed thread:
// without it, an entry that overflows its stack leaves the filter too little
// to run, and the thread may just vanish.
constexpr ULONG kCrashFilterStack = 64 * 1024;

template <typename Proc>
Proc FindKernelEntry(const char *name)
{
    return ExportOf<Proc>(GetModuleHandleW(L"kernel32.dll"), name);
}

void KeepStackForCrashFilter()
{
    ULONG size = kCrashFilterStack;
    SetThreadStackGuarantee(&size);
}

// An event that is set, or a thread that has ended.
bool IsSignalled(HANDLE object, DWORD waitMs)
{
    return WaitForSingleObject(object, waitMs) == WAIT_OBJECT_0;
}

// Calls an entry, telling the observer (if any) before and after.
template <typename Call>
int CallEntry(const EntryContext &context, Call call)
{
    if (context.observer != nullptr)
        context.observer->Entering();
    const int result = call();
    if (context.observer != nullptr)
        context.observer->Returned(result, IsSignalled(context.hostReady, 0));
    return result;
}

// CompareObjectHandles came with Windows 10: looked up at run time.
using CompareObjectHandlesProc = BOOL(WINAPI *)(HANDLE, HANDLE);

CompareObjectHandlesProc CompareHandles()
{
    const auto found = ExportOf<CompareObjectHandlesProc>(GetModuleHandleW(L"kernelbase.dll"), "CompareObjectHandles");
    return found != nullptr ? found : FindKernelEntry<CompareObjectHandlesProc>("CompareObjectHandles");
}

} // namespace

bool EntryKeptItsEvent(const WorkerThread &worker)
{
    const auto compare = CompareHandles();
    return !worker.entryReady || !worker.ready || compare == nullptr ||
           compare(worker.entryReady.get(), worker.ready.get());
}

void WorkerThread::reset()
{
    // Where it cannot be told whether the copy is still ours, it stays open:
    // one handle for the process's life, never somebody else's closed.
    if (CompareHandles() == nullptr || !EntryKeptItsEvent(*this))
        entryReady.release();
    entryReady.reset();
    thread.reset();
    ready.reset();
    id = 0;
    context = nullptr;
}

LibrarySearch RestrictLibrarySearch(const wchar_t *applicationDir)
{
    // Looked up at run time: Windows 7 has SetDefaultDllDirectories only with
    // its update KB2533623, and the shell must start without it.
    using SetDefaultDllDirectoriesProc = BOOL(WINAPI *)(DWORD);
    using AddDllDirectoryProc = void *(WINAPI *)(const wchar_t *);
    using SetDllDirectoryProc = BOOL(WINAPI *)(const char *);
    const auto setDefault = FindKernelEntry<SetDefaultDllDirectoriesProc>("SetDefaultDllDirectories");
    const auto addDirectory = FindKernelEntry<AddDllDirectoryProc>("AddDllDirectory");
    const auto setDirectory = FindKernelEntry<SetDllDirectoryProc>("SetDllDirectoryA");

    if (applicationDir != nullptr && setDefault != nullptr && addDirectory != nullptr &&
        addDirectory(applicationDir) != nullptr &&
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS))
        return LibrarySearch::GivenApplication;
    if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS))
        return LibrarySearch::DefaultDirectories;
    if (setDirectory != nullptr && setDirectory(""))
        return LibrarySearch::NoCurrentDirectory;
    return LibrarySearch::NotRestricted;
}

HMODULE LoadComponentLibrary(const wchar_t *path, LibrarySearch search)
{
    switch (search) {
    case LibrarySearch::DefaultDirectories:
        return LoadLibraryExW(path, nullptr, kComponentSearch);
    case LibrarySearch::GivenApplication:
        return LoadLibraryExW(path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                                                 LOAD_LIBRARY_SEARCH_USER_DIRS);
    case LibrarySearch::NoCurrentDirectory:
        return LoadLibraryW(path);
    case LibrarySearch::NotRestricted:
        break;
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

namespace {

unsigned __stdcall StartupThread(void *argument)
{
    KeepStackForCrashFilter();
    EntryContext &context = *static_cast<EntryContext *>(argument);
    const int result = CallEntry(context, [&] { return static_cast<int>(context.startup(context.ready)); });
    InterlockedExchange(&context.returned, 1);
    return static_cast<unsigned>(result);
}

unsigned __stdcall ServiceThread(void *argument)
{
    KeepStackForCrashFilter();
    EntryContext &context = *static_cast<EntryContext *>(argument);
    int result = SHELL_ENTRY_FAILED;
    if (context.serviceMain != nullptr)
        result = CallEntry(context, [&] { return context.serviceMain(context.serviceMainFlag, context.ready); });
    const unsigned exitCode = FinishEntry(result, context.hostReady);
    InterlockedExchange(&context.returned, 1);
    return exitCode;
}

unsigned __stdcall CoreThread(void *argument)
{
    KeepStackForCrashFilter();
    EntryContext &context = *static_cast<EntryContext *>(argument);
    EntryObserver *observer = context.observer;
    int result = SHELL_ENTRY_FAILED;
    {
        // The core library belongs to this thread, loaded and unloaded here.
        UniqueModule core(context.corePath != nullptr ? LoadComponentLibrary(context.corePath, context.search)
                                                      : nullptr);
        if (!core && observer != nullptr)
            observer->LoadFailed(GetLastError());
        if (core && observer != nullptr)
            observer->Loaded(core.get());
        const auto shellMain = ExportOf<ShellMainProc>(core.get(), contract::kShellMain);
        if (shellMain != nullptr)
            result = CallEntry(context, [&] { return shellMain(context.installDir, context.ready); });
        if (core && observer != nullptr && !observer->UnloadCoreNow())
            core.release();
    }
    const unsigned exitCode = FinishEntry(result, context.hostReady);
    InterlockedExchange(&context.returned, 1);
    return exitCode;
}

WorkerStart StartThread(unsigned(__stdcall *routine)(void *), WorkerThread &worker, DWORD readyTimeoutMs,
                        EntryContext &context)
{
    worker.reset();
    worker.ready.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!worker.ready || !DuplicateHandle(GetCurrentProcess(), worker.ready.get(), GetCurrentProcess(),
                                          worker.entryReady.put(), 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        worker.reset();
        return WorkerStart::NotStarted;
    }

    context.ready = worker.entryReady.get();
    context.hostReady = worker.ready.get();
    context.returned = 0;
    worker.context = &context;
    unsigned id = 0;
    worker.thread.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, routine, &context, 0, &id)));
    if (!worker.thread) {
        worker.reset();
        return WorkerStart::NotStarted;
    }
    const HANDLE waitFor[] = {worker.ready.get(), worker.thread.get()};
    const DWORD result = WaitForMultipleObjects(2, waitFor, FALSE, readyTimeoutMs);
    worker.id = id;
    if (result == WAIT_OBJECT_0)
        return WorkerStart::Signalled;
    return result == WAIT_OBJECT_0 + 1 ? WorkerStart::Ended : WorkerStart::TimedOut;
}

} // namespace

WorkerStart RunWorker(contract::Worker worker, const WorkerSetup &setup, WorkerThread &thread, EntryContext &context,
                      DWORD readyTimeoutMs)
{
    using contract::Worker;
    context.observer = setup.observer;
    switch (worker) {
    case Worker::Startup:
        context.startup =
            setup.startupEntry != nullptr ? ExportOf<SS_StartupProc>(setup.services, setup.startupEntry) : nullptr;
        return context.startup != nullptr ? StartThread(StartupThread, thread, readyTimeoutMs, context)
                                          : WorkerStart::NotStarted;
    case Worker::Service:
        if (setup.services == nullptr)
            return WorkerStart::NotStarted;
        context.serviceMain = ExportOf<SS_MainProc>(setup.services, contract::kServiceMain);
        context.serviceMainFlag = setup.serviceMainFlag;
        return StartThread(ServiceThread, thread, readyTimeoutMs, context);
    case Worker::Core:
        context.corePath = setup.corePath;
        context.search = setup.search;
        context.installDir = setup.installDir;
        return StartThread(CoreThread, thread, readyTimeoutMs, context);
    }
    return WorkerStart::NotStarted;
}

unsigned FinishEntry(int result, HANDLE ready)
{
    if (result != SHELL_ENTRY_FAILED)
        return static_cast<unsigned>(result);
    SetEvent(ready);
    return static_cast<unsigned>(SHELL_ENTRY_FAILED);
}

namespace {

DWORD WINAPI ShowNotice(void *argument)
{
    const Notice &notice = *static_cast<const Notice *>(argument);
    MessageBoxA(nullptr, notice.text, notice.caption, kNoticeStyle);
    return 0;
}

// The box on a thread of its own, with a queue nothing else posts to; the
// caller waits until the user has closed it. Where no thread can be made,
// on the caller's.
void ShowNoticeApart(const Notice &notice)
{
    const UniqueHandle thread(CreateThread(nullptr, 0, ShowNotice, const_cast<Notice *>(&notice), 0, nullptr));
    if (thread)
        WaitForSingleObject(thread.get(), INFINITE);
    else
        ShowNotice(const_cast<Notice *>(&notice));
}

} // namespace

WorkerStopResult StopWorkerThread(WorkerThread &worker, bool postStop, const Notice *notice, DWORD stopWaitMs)
{
    WorkerStopResult stop{WorkerStop::Absent, false, true};
    if (!worker)
        return stop;
    if (postStop)
        stop.stopPosted = PostThreadMessageA(worker.id, SHELL_STOP_MESSAGE, 0, 0) != FALSE;

    if (IsSignalled(worker.get(), stopWaitMs)) {
        stop.outcome = WorkerStop::Ended;
    } else {
        if (notice != nullptr)
            ShowNoticeApart(*notice);
        // An entry that has returned leaves a thread that is only exiting:
        // terminated now, its exit could leave the loader's lock held.
        const bool returned = worker.context != nullptr && worker.context->returned != 0;
        if (IsSignalled(worker.get(), returned ? kTerminateWaitMs : 0))
            stop.outcome = WorkerStop::EndedLate;
        else if (!returned && TerminateThread(worker.get(), static_cast<DWORD>(SHELL_ENTRY_FAILED)) &&
                 IsSignalled(worker.get(), kTerminateWaitMs))
            stop.outcome = WorkerStop::Terminated;
        else
            stop.outcome = WorkerStop::Unstoppable;
    }
    stop.entryKeptEvent = EntryKeptItsEvent(worker);
    if (stop.outcome == WorkerStop::Unstoppable) {
        // Still running: its handles stay open for good rather than be reused.
        worker.thread.release();
        worker.ready.release();
        worker.entryReady.release();
    }
    worker.reset();
    return stop;
}
