// Loading the component libraries, running their entry points on worker
// threads, and stopping and unloading them again.

#include "components.h"

#include "LaunchSettings.h"
#include "shellcomponent.h"

#include <stdio.h>

UniqueModule g_ConfigLibrary;
UniqueModule g_ServicesLibrary;
WorkerThread g_CoreThread;
WorkerThread g_ServiceThread;
WorkerThread g_StartupThread;

namespace {

constexpr SHORT kKeyDown = static_cast<SHORT>(0x8000); // high bit of GetAsyncKeyState
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
    return LoadComponentLibrary(path);
}

unsigned __stdcall ServiceThreadRoutine(void *readyEvent)
{
    const auto serviceMain = FindEntry<SS_MainProc>(g_ServicesLibrary.get(), "SS_Main");
    const int result = serviceMain != nullptr ? serviceMain(g_Settings.ServiceMainFlag, readyEvent)
                                              : SHELL_ENTRY_FAILED;
    return FinishEntry(result, readyEvent);
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
    return FinishEntry(result, readyEvent);
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

} // namespace

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
    StopWorkerThread(g_StartupThread, false, kStartupNotice);
    StopWorkerThread(g_ServiceThread, true, kServiceNotice);
    g_ServicesLibrary.reset();
}

void StartCoreThread()
{
    StartWorkerThread(CoreThreadRoutine, g_CoreThread);
}

void StopCoreThread()
{
    StopWorkerThread(g_CoreThread, true, kCoreNotice);
}
