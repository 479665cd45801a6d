// Loading the component libraries, running their entry points on worker
// threads, and stopping and unloading them again: the launcher drives
// hosting's model, and gives it the notices the user sees.

#include "components.h"

#include "LaunchSettings.h"

#include <stdio.h>

UniqueModule g_ConfigLibrary;
UniqueModule g_ServicesLibrary;
WorkerThread g_CoreThread;
WorkerThread g_ServiceThread;
WorkerThread g_StartupThread;

namespace {

using contract::Worker;

constexpr SHORT kKeyDown = static_cast<SHORT>(0x8000); // high bit of GetAsyncKeyState
constexpr char kNoticeCaption[] = "Brevant - Notice!";
constexpr Notice kCoreNotice{kNoticeCaption, "The Tarvek Module System thread is being forcefully terminated.\n\n"
                                             "Please notify the Brevant dev-team of this occurrence!"};
constexpr Notice kStartupNotice{kNoticeCaption, "The Startup thread is being forcefully terminated.\n\n"
                                                "Please notify the Brevant dev-team of this occurrence!"};
constexpr Notice kServiceNotice{kNoticeCaption, "The Service thread is being forcefully terminated.\n\n"
                                                "Please notify the Brevant dev-team of this occurrence!"};

LibrarySearch g_Search = LibrarySearch::NotRestricted;
EntryContext g_StartupContext, g_ServiceContext, g_CoreContext;
char g_CorePath[kMaxPath];
// The components get copies of the launcher's texts: what one writes into its
// copy changes neither where the launcher loads the next from nor its clean-up.
char g_ConfigDirCopy[kMaxPath], g_ConfigFileCopy[kMaxPath], g_CoreDirCopy[kMaxPath];

const char *CopyFor(const char *text, char (&copy)[kMaxPath])
{
    if (text == nullptr)
        return nullptr;
    lstrcpynA(copy, text, sizeof(copy)); // the launcher's texts are paths, which fit
    return copy;
}
bool g_KeepServicesLibrary; // a thread of it could not be stopped

// The full path of a component in the installation directory, or false when
// it does not fit: a path that does not fit is a missing library, never cut.
bool ComponentPath(const char *fileName, char (&path)[kMaxPath])
{
    const char *dir = g_Settings.InstallDir;
    if (dir == nullptr)
        return false;
    const int length = _snprintf(path, sizeof(path), "%s\\%s", dir, fileName);
    return length >= 0 && length < static_cast<int>(sizeof(path));
}

HMODULE LoadComponent(const char *fileName)
{
    char path[kMaxPath];
    return ComponentPath(fileName, path) ? LoadComponentLibrary(path, g_Search) : nullptr;
}

WorkerThread &ThreadOf(Worker worker)
{
    return worker == Worker::Startup ? g_StartupThread : worker == Worker::Service ? g_ServiceThread : g_CoreThread;
}

const Notice &NoticeOf(Worker worker)
{
    return worker == Worker::Startup ? kStartupNotice : worker == Worker::Service ? kServiceNotice : kCoreNotice;
}

EntryContext &ContextOf(Worker worker)
{
    return worker == Worker::Startup ? g_StartupContext : worker == Worker::Service ? g_ServiceContext : g_CoreContext;
}

// What every worker's entry takes, from the settings and the libraries loaded.
WorkerSetup SetupOfWorkers()
{
    WorkerSetup setup;
    setup.services = g_ServicesLibrary.get();
    const bool shiftDown = (GetAsyncKeyState(VK_SHIFT) & kKeyDown) != 0;
    setup.startupEntry = ChooseStartupEntry(g_Settings.StartupMode, shiftDown);
    setup.serviceMainFlag = g_Settings.ServiceMainFlag;
    setup.corePath = ComponentPath(contract::kCoreLibrary, g_CorePath) ? g_CorePath : nullptr;
    setup.search = g_Search;
    setup.installDir = CopyFor(g_Settings.InstallDir, g_CoreDirCopy);
    return setup;
}

void StopWorker(Worker worker)
{
    // The startup entry gets no stop message: it must end by itself.
    const WorkerStopResult stop = StopWorkerThread(ThreadOf(worker), worker != Worker::Startup, &NoticeOf(worker));
    if (stop.outcome == WorkerStop::Unstoppable && worker != Worker::Core)
        g_KeepServicesLibrary = true;
}

void UnloadConfigLibrary()
{
    if (!g_ConfigLibrary)
        return;
    const auto release = FindEntry<SH_CFG_FreeBufferProc>(g_ConfigLibrary.get(), contract::kFreeBuffer);
    if (release != nullptr)
        release();
    g_ConfigLibrary.reset();
}

} // namespace

const char *ChooseStartupEntry(int startupMode, bool shiftDown)
{
    if (startupMode == kStartupSkipped || shiftDown)
        return nullptr;
    return startupMode == kStartupForced ? contract::kForceStartup : contract::kRunStartup;
}

void StartComponents(LibrarySearch search)
{
    g_Search = search;
    g_ConfigLibrary.reset(LoadComponent(contract::kConfigLibrary));
    if (g_ConfigLibrary) {
        const auto fill = FindEntry<SH_CFG_FillBufferProc>(g_ConfigLibrary.get(), contract::kFillBuffer);
        if (fill != nullptr)
            fill(CopyFor(g_Settings.InstallDir, g_ConfigDirCopy), CopyFor(g_Settings.ConfigFile, g_ConfigFileCopy));
    }
    if (g_Settings.ServicesEnabled)
        g_ServicesLibrary.reset(LoadComponent(contract::kServicesLibrary));
    const WorkerSetup setup = SetupOfWorkers();
    for (Worker worker : contract::kStartOrder)
        RunWorker(worker, setup, ThreadOf(worker), ContextOf(worker));
}

void UnloadServicesLibrary()
{
    if (!g_ServicesLibrary)
        return;
    StopWorker(Worker::Startup);
    StopWorker(Worker::Service);
    if (g_KeepServicesLibrary)
        g_ServicesLibrary.release(); // the process is about to end anyway
    else
        g_ServicesLibrary.reset();
}

void StopComponents()
{
    for (Worker worker : contract::kStopOrder)
        StopWorker(worker);
    UnloadServicesLibrary();
    UnloadConfigLibrary();
}
