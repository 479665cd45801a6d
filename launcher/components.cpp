// Loading the component libraries, running their entry points on worker
// threads, and stopping and unloading them again: the launcher drives
// hosting's model, and gives it the notices the user sees.

#include "Shell.h"

#include "Library.h"

namespace {

using contract::Worker;

// How long a thread has to end once asked: the shell's 10 s. Only the
// tests' own build of the launcher, which is never shipped, waits less.
#ifdef LAUNCHER_TEST_STOP_WAIT_MS
constexpr DWORD kThreadStopWaitMs = LAUNCHER_TEST_STOP_WAIT_MS;
#else
constexpr DWORD kThreadStopWaitMs = kStopWaitMs;
#endif

constexpr SHORT kKeyDown = static_cast<SHORT>(0x8000); // high bit of GetAsyncKeyState
constexpr char kNoticeCaption[] = "Brevant - Notice!";
// By worker, in contract::Worker's order.
constexpr Notice kNotices[] = {
    {kNoticeCaption, "The Startup thread is being forcefully terminated.\n\n"
                     "Please notify the Brevant dev-team of this occurrence!"},
    {kNoticeCaption, "The Service thread is being forcefully terminated.\n\n"
                     "Please notify the Brevant dev-team of this occurrence!"},
    {kNoticeCaption, "The Tarvek Module System thread is being forcefully terminated.\n\n"
                     "Please notify the Brevant dev-team of this occurrence!"},
};

// The texts a component is handed, as copies of the launcher's own.
const char *CopyFor(const std::string &text, std::string &copy)
{
    copy = text;
    return copy.c_str();
}

} // namespace

// The full path of a component in the installation directory, or false when
// it does not fit: a path that does not fit is a missing library, never cut.
bool Shell::ComponentPath(const char *fileName, std::wstring &path) const
{
    if (!installDir_)
        return false;
    path = installDir_->path + L"\\" + std::wstring(fileName, fileName + strlen(fileName));
    return path.size() < kMaxPath;
}

HMODULE Shell::LoadComponent(const char *fileName) const
{
    std::wstring path;
    return ComponentPath(fileName, path) ? LoadComponentLibrary(path.c_str(), search_) : nullptr;
}

// What every worker's entry takes, from the settings and the libraries loaded.
WorkerSetup Shell::SetupOfWorkers()
{
    WorkerSetup setup;
    setup.services = servicesLibrary_.get();
    const bool shiftDown = (GetAsyncKeyState(VK_SHIFT) & kKeyDown) != 0;
    setup.startupEntry = ChooseStartupEntry(settings_.StartupMode, shiftDown);
    setup.serviceMainFlag = settings_.ServiceMainFlag;
    setup.corePath = ComponentPath(contract::kCoreLibrary, corePath_) ? corePath_.c_str() : nullptr;
    setup.search = search_;
    setup.installDir = CopyFor(installDir_->forComponents, coreDirCopy_);
    return setup;
}

void Shell::StartComponents(LibrarySearch search)
{
    search_ = search;
    configLibrary_.reset(LoadComponent(contract::kConfigLibrary));
    if (const auto fill = ExportOf<SH_CFG_FillBufferProc>(configLibrary_.get(), contract::kFillBuffer))
        fill(CopyFor(installDir_->forComponents, configDirCopy_),
             settings_.ConfigFile ? CopyFor(settings_.ConfigFile->data(), configFileCopy_) : nullptr);
    if (settings_.ServicesEnabled)
        servicesLibrary_.reset(LoadComponent(contract::kServicesLibrary));
    const WorkerSetup setup = SetupOfWorkers();
    for (Worker worker : contract::kStartOrder)
        RunWorker(worker, setup, WorkerOf(worker).thread, WorkerOf(worker).context);
}

void Shell::StopWorker(Worker worker)
{
    // The startup entry gets no stop message: it must end by itself.
    const WorkerStopResult stop = StopWorkerThread(WorkerOf(worker).thread, worker != Worker::Startup,
                                                   &kNotices[static_cast<size_t>(worker)], kThreadStopWaitMs);
    if (stop.outcome == WorkerStop::Unstoppable && worker != Worker::Core)
        keepServicesLibrary_ = true;
}

// Stops the startup and service threads, then unloads their library, unless
// a thread of it could not be stopped: the library stays mapped under it.
void Shell::UnloadServicesLibrary()
{
    if (!servicesLibrary_)
        return;
    StopWorker(Worker::Startup);
    StopWorker(Worker::Service);
    if (keepServicesLibrary_)
        servicesLibrary_.release(); // the process is about to end anyway
    else
        servicesLibrary_.reset();
}

void Shell::UnloadConfigLibrary()
{
    if (const auto release = ExportOf<SH_CFG_FreeBufferProc>(configLibrary_.get(), contract::kFreeBuffer))
        release();
    configLibrary_.reset();
}

void Shell::StopComponents()
{
    for (Worker worker : contract::kStopOrder)
        StopWorker(worker);
    UnloadServicesLibrary();
    UnloadConfigLibrary();
}

const char *ChooseStartupEntry(StartupModes startupMode, bool shiftDown)
{
    if (startupMode == StartupModes::Skipped || shiftDown)
        return nullptr;
    return startupMode == StartupModes::Forced ? contract::kForceStartup : contract::kRunStartup;
}
