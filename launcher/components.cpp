// Loading the component libraries, running their entry points on worker
// threads, and stopping and unloading them again.

#include "components.h"

#include "LaunchSettings.h"
#include "shellcomponent.h"

#include <process.h>
#include <stdio.h>

UniqueModule g_ConfigLibrary;
UniqueModule g_ServicesLibrary;
WorkerThread g_CoreThread;
WorkerThread g_ServiceThread;
WorkerThread g_StartupThread;

namespace {

// How components are loaded, settled once by RestrictLibrarySearch.
enum class LibrarySearch { NotRestricted, DefaultDirectories, NoCurrentDirectory };
LibrarySearch g_LibrarySearch = LibrarySearch::NotRestricted;

// A component's dependencies come from its own directory, then the
// application's and the system's; never the current directory or PATH.
constexpr DWORD kComponentSearch = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

constexpr DWORD kStopWaitMs = 10000;
// TerminateThread only starts the end of a thread; its code may still run.
constexpr DWORD kTerminateWaitMs = 5000;
constexpr SHORT kKeyDown = static_cast<SHORT>(0x8000); // high bit of GetAsyncKeyState
constexpr UINT kNoticeStyle = MB_SYSTEMMODAL | MB_ICONWARNING | MB_OK;
constexpr char kNoticeCaption[] = "Brevant - Notice!";
constexpr char kCoreNotice[] =
    "The Tarvek Module System thread is being forcefully terminated.\n\n"
    "Please notify the Brevant dev-team of this occurrence!";
constexpr char kStartupNotice[] =
    "The Startup thread is being forcefully terminated.\n\n"
    "Please notify the Brevant dev-team of this occurrence!";
constexpr char kServiceNotice[] =
    "The Service thread is being forcefully terminated.\n\n"
    "Please notify the Brevant dev-team of this occurrence!";

// Loads a component from the installation directory by its full path. A path
// that does not fit is treated as a missing library rather than cut.
HMODULE LoadComponent(const char *fileName)
{
    const char *dir = g_Settings.InstallDir;
    char path[kMaxPath];
    if (dir == nullptr)
        return nullptr;
    const int length = _snprintf(path, sizeof(path), "%s\\%s", dir, fileName);
    if (length < 0 || length >= static_cast<int>(sizeof(path)))
        return nullptr;
    switch (g_LibrarySearch) {
    case LibrarySearch::DefaultDirectories:
        return LoadLibraryExA(path, nullptr, kComponentSearch);
    case LibrarySearch::NoCurrentDirectory:
        return LoadLibraryA(path);
    case LibrarySearch::NotRestricted:
        break;
    }
    return nullptr;
}

template <typename Proc>
Proc FindEntry(HMODULE library, const char *name)
{
    return reinterpret_cast<Proc>(reinterpret_cast<void *>(GetProcAddress(library, name)));
}

// Starts routine on a new thread with a fresh ready event and blocks until
// the thread signals it. Also stops waiting if the thread ends unsignalled: a
// thread that is gone can never signal, and start-up must not hang on it.
void StartWorkerThread(unsigned(__stdcall *routine)(void *), WorkerThread &worker)
{
    worker.ready.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!worker.ready)
        return;

    unsigned id = 0;
    worker.thread.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, routine, worker.ready.get(), 0, &id)));
    if (!worker.thread) {
        worker.ready.reset();
        return;
    }
    const HANDLE waitFor[] = {worker.ready.get(), worker.thread.get()};
    WaitForMultipleObjects(2, waitFor, FALSE, INFINITE);
    worker.id = id;
}

// Asks a thread to end (core and service threads get the stop message), gives
// it ten seconds, then tells the user and terminates it if it still runs.
// Its handle and ready event are closed only once it has really ended.
void StopThread(WorkerThread &worker, bool postStop, const char *notice)
{
    if (!worker)
        return;
    if (postStop)
        PostThreadMessageA(worker.id, SHELL_STOP_MESSAGE, 0, 0);
    if (WaitForSingleObject(worker.get(), kStopWaitMs) != WAIT_OBJECT_0) {
        MessageBoxA(nullptr, notice, kNoticeCaption, kNoticeStyle);
        if (WaitForSingleObject(worker.get(), 0) != WAIT_OBJECT_0 &&
            TerminateThread(worker.get(), static_cast<DWORD>(SHELL_ENTRY_FAILED)))
            WaitForSingleObject(worker.get(), kTerminateWaitMs);
    }
    worker.reset();
}

unsigned __stdcall ServiceThreadRoutine(void *readyEvent)
{
    const auto serviceMain = FindEntry<SS_MainProc>(g_ServicesLibrary.get(), "SS_Main");
    if (serviceMain != nullptr) {
        const int result = serviceMain(g_Settings.ServiceMainFlag, readyEvent);
        if (result != SHELL_ENTRY_FAILED)
            return static_cast<unsigned>(result);
    }
    SetEvent(readyEvent);
    return static_cast<unsigned>(SHELL_ENTRY_FAILED);
}

unsigned __stdcall CoreThreadRoutine(void *readyEvent)
{
    int result = SHELL_ENTRY_FAILED;
    {
        // The core library belongs to this thread, loaded and unloaded here.
        UniqueModule core(LoadComponent("modcore.dll"));
        const auto shellMain = core ? FindEntry<ShellMainProc>(core.get(), "ShellMain") : nullptr;
        if (shellMain != nullptr)
            result = shellMain(g_Settings.InstallDir, readyEvent);
    }
    if (result != SHELL_ENTRY_FAILED)
        return static_cast<unsigned>(result);
    SetEvent(readyEvent);
    return static_cast<unsigned>(SHELL_ENTRY_FAILED);
}

void StartStartupThread()
{
    const bool shiftDown = (GetAsyncKeyState(VK_SHIFT) & kKeyDown) != 0;
    const char *entry = ChooseStartupEntry(g_Settings.StartupMode, shiftDown);
    if (entry == nullptr)
        return;
    const auto routine = FindEntry<SS_StartupProc>(g_ServicesLibrary.get(), entry);
    if (routine != nullptr)
        StartWorkerThread(routine, g_StartupThread);
}

template <typename Proc>
Proc FindKernelEntry(const char *name)
{
    return FindEntry<Proc>(GetModuleHandleA("kernel32.dll"), name);
}

} // namespace

bool RestrictLibrarySearch()
{
    // Looked up at run time: Windows 7 has SetDefaultDllDirectories only with
    // its update KB2533623, and the launcher must start without it.
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

const char *ChooseStartupEntry(int startupMode, bool shiftDown)
{
    if (startupMode == 1 || shiftDown)
        return nullptr;
    return startupMode == 2 ? "SS_ForceStartup" : "SS_RunStartup";
}

void LoadConfigLibrary()
{
    g_ConfigLibrary.reset(LoadComponent("config.dll"));
    if (!g_ConfigLibrary)
        return;
    const auto fill = FindEntry<SH_CFG_FillBufferProc>(g_ConfigLibrary.get(), "SH_CFG_FillBuffer");
    if (fill != nullptr)
        fill(g_Settings.InstallDir, g_Settings.ConfigFile);
}

void UnloadConfigLibrary()
{
    if (!g_ConfigLibrary)
        return;
    const auto release = FindEntry<SH_CFG_FreeBufferProc>(g_ConfigLibrary.get(), "SH_CFG_FreeBuffer");
    if (release != nullptr)
        release();
    g_ConfigLibrary.reset();
}

void LoadServicesLibrary()
{
    if (!g_Settings.ServicesEnabled)
        return;
    g_ServicesLibrary.reset(LoadComponent("auxhost.dll"));
    if (!g_ServicesLibrary)
        return;
    StartStartupThread();
    StartWorkerThread(ServiceThreadRoutine, g_ServiceThread);
}

void UnloadServicesLibrary()
{
    if (!g_ServicesLibrary)
        return;
    StopThread(g_StartupThread, false, kStartupNotice);
    StopThread(g_ServiceThread, true, kServiceNotice);
    g_ServicesLibrary.reset();
}

void StartCoreThread()
{
    StartWorkerThread(CoreThreadRoutine, g_CoreThread);
}

void StopCoreThread()
{
    StopThread(g_CoreThread, true, kCoreNotice);
}
