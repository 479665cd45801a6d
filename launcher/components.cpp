// Loading the component libraries, running their entry points on worker
// threads, and stopping and unloading them again.

#include "components.h"

#include "LaunchSettings.h"
#include "shellcomponent.h"

#include <process.h>
#include <stdio.h>

UniqueModule g_ConfigLibrary;
UniqueModule g_ServicesLibrary;
UniqueHandle g_CoreThread;
UniqueHandle g_ServiceThread;
UniqueHandle g_StartupThread;

namespace {

DWORD g_CoreThreadId;
DWORD g_ServiceThreadId;

constexpr DWORD kStopWaitMs = 10000;
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
    return LoadLibraryA(path);
}

template <typename Proc>
Proc FindEntry(HMODULE library, const char *name)
{
    return reinterpret_cast<Proc>(reinterpret_cast<void *>(GetProcAddress(library, name)));
}

// Starts routine on a new thread with a fresh ready event and blocks until
// the thread signals it. Also stops waiting if the thread ends unsignalled: a
// thread that is gone can never signal, and start-up must not hang on it.
void StartWorkerThread(unsigned(__stdcall *routine)(void *), UniqueHandle &thread, DWORD *threadId)
{
    UniqueHandle ready(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!ready)
        return;

    unsigned id = 0;
    thread.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, routine, ready.get(), 0, &id)));
    if (thread) {
        const HANDLE waitFor[] = {ready.get(), thread.get()};
        WaitForMultipleObjects(2, waitFor, FALSE, INFINITE);
        if (threadId != nullptr)
            *threadId = id;
    }
}

// Asks a thread to end (core and service threads get the stop message), gives
// it ten seconds, then tells the user and terminates it if it still runs.
void StopThread(UniqueHandle &thread, DWORD threadId, bool postStop, const char *notice)
{
    if (!thread)
        return;
    if (postStop)
        PostThreadMessageA(threadId, SHELL_STOP_MESSAGE, 0, 0);
    if (WaitForSingleObject(thread.get(), kStopWaitMs) != WAIT_OBJECT_0) {
        MessageBoxA(nullptr, notice, kNoticeCaption, kNoticeStyle);
        if (WaitForSingleObject(thread.get(), 0) != WAIT_OBJECT_0)
            TerminateThread(thread.get(), static_cast<DWORD>(SHELL_ENTRY_FAILED));
    }
    thread.reset();
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
    const bool shiftDown = (GetAsyncKeyState(VK_SHIFT) & 0x8000) != 0;
    const char *entry = ChooseStartupEntry(g_Settings.StartupMode, shiftDown);
    if (entry == nullptr)
        return;
    const auto routine = FindEntry<SS_StartupProc>(g_ServicesLibrary.get(), entry);
    if (routine != nullptr)
        StartWorkerThread(routine, g_StartupThread, nullptr);
}

} // namespace

const char *ChooseStartupEntry(int startupMode, bool shiftDown)
{
    if (startupMode == 1 || shiftDown)
        return nullptr;
    return startupMode == 2 ? "SS_ForceStartup" : "SS_RunStartup";
}

void LoadConfigLibrary()
{
    // Components are loaded by full path only; keep the current directory out
    // of the search for the libraries they in turn depend on.
    SetDllDirectoryA("");

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
    StartWorkerThread(ServiceThreadRoutine, g_ServiceThread, &g_ServiceThreadId);
}

void UnloadServicesLibrary()
{
    if (!g_ServicesLibrary)
        return;
    StopThread(g_StartupThread, 0, false, kStartupNotice);
    StopThread(g_ServiceThread, g_ServiceThreadId, true, kServiceNotice);
    g_ServicesLibrary.reset();
}

void StartCoreThread()
{
    StartWorkerThread(CoreThreadRoutine, g_CoreThread, &g_CoreThreadId);
}

void StopCoreThread()
{
    StopThread(g_CoreThread, g_CoreThreadId, true, kCoreNotice);
}
