// The launcher's run, from the log-on's start to its exit: one object, made
// on the main thread's stack, that owns everything the run holds (the
// settings, the installation directory, the mutex and ready event, the
// component libraries and the worker threads) and hands down what each step
// needs. Everything here is created, waited on, closed and cleared on the
// main thread; the worker threads get only their own context.
#pragma once

#include "LaunchSettings.h"
#include "hosting.h"

#include <array>
#include <optional>
#include <string>

// The installation directory: the program's own folder, wide for the
// launcher's own calls, and as the components take it, 8-bit in the active
// code page (its short name where the code page cannot write the long one).
struct InstallDir {
    std::wstring path;
    std::string forComponents;
};

// Why no installation directory could be had.
enum class InstallDirProblem { None, NotFound, NotInCodePage };

class Shell {
public:
    Shell() = default;
    Shell(const Shell &) = delete;
    Shell &operator=(const Shell &) = delete;

    // The whole run for the process's complete command line; always returns 0.
    int Run(const char *commandLine);

    // The steps Run takes, in its order; each harmless when a part of it is
    // already gone. The in-process test drives them one by one.
    bool CheckSingleInstance(const char *commandLine);
    void StartComponents(LibrarySearch search);
    void RunWaitLoop();
    void StopComponents();
    void FinalCleanup();

    // The installation directory, found on the first call; null when it
    // cannot be had (InstallDirProblem says why).
    const InstallDir *GetInstallDir();
    const LaunchSettings &Settings() const { return settings_; }

private:
    struct WorkerSlot {
        WorkerThread thread;
        EntryContext context; // what its routine is given; outlives the thread
    };

    WorkerSlot &WorkerOf(contract::Worker worker) { return workers_[static_cast<size_t>(worker)]; }
    bool ComponentPath(const char *fileName, std::wstring &path) const;
    HMODULE LoadComponent(const char *fileName) const;
    WorkerSetup SetupOfWorkers();
    void StopWorker(contract::Worker worker);
    void ReapThread(HANDLE ended);
    void UnloadServicesLibrary();
    void UnloadConfigLibrary();

    LaunchSettings settings_;
    std::optional<InstallDir> installDir_;
    InstallDirProblem installDirProblem_ = InstallDirProblem::None;
    UniqueHandle instanceMutex_;   // "ShellMutex", from the guard to the final clean-up
    UniqueHandle shellIsReady_;    // "ShellIsReadyEvent", through the shutdown sequence
    LibrarySearch search_ = LibrarySearch::NotRestricted;
    UniqueModule configLibrary_, servicesLibrary_;
    bool keepServicesLibrary_ = false; // a thread of it could not be stopped
    std::array<WorkerSlot, 3> workers_; // indexed by contract::Worker
    std::wstring corePath_;
    // The components get copies of the launcher's texts: what one writes
    // into its copy changes neither where the launcher loads the next from
    // nor its clean-up.
    std::string configDirCopy_, configFileCopy_, coreDirCopy_;
};

// ---- The system's side (settings_windows.cpp)

// The installation directory of the running program, as InstallDir says.
InstallDirProblem FindInstallDir(InstallDir &dir);
// True when a file of that name can be opened (directories cannot).
bool FileExists(const char *path);
// The startup entry to run: null to run none (-s0, or Shift held, which is
// tested first), "SS_ForceStartup" for -s1, else "SS_RunStartup".
const char *ChooseStartupEntry(StartupModes startupMode, bool shiftDown);
