// The component contract as data: the libraries, their entries by name, the
// role each plays and the orders the shell starts and stops them in.
// launcher.exe, componentcheck.exe and the tools go by this table;
// shellcomponent.h states the same contract for component authors.
#pragma once

namespace contract {

// The shell's own names, which the tools look for too.
constexpr char kLauncherFile[] = "launcher.exe";
constexpr char kShellReadyEvent[] = "ShellIsReadyEvent";
constexpr char kShellMutex[] = "ShellMutex";              // held by the running copy
constexpr char kLogonEvent[] = "msgina: ShellReadyEvent"; // the log-on process's, set at start

constexpr char kConfigLibrary[] = "config.dll";
constexpr char kServicesLibrary[] = "auxhost.dll";
constexpr char kCoreLibrary[] = "modcore.dll";

constexpr char kFillBuffer[] = "SH_CFG_FillBuffer";
constexpr char kFreeBuffer[] = "SH_CFG_FreeBuffer";
constexpr char kRunStartup[] = "SS_RunStartup";
constexpr char kForceStartup[] = "SS_ForceStartup";
constexpr char kServiceMain[] = "SS_Main";
constexpr char kShellMain[] = "ShellMain";

enum class Role { Config, Services, Core };
// The libraries are loaded in this order.
constexpr Role kStartRoles[] = {Role::Config, Role::Services, Role::Core};

// How an entry is called.
enum class Call {
    MainThread, // on the shell's main thread, returning at once
    Startup,    // the startup thread's own routine: no stop message, ends by itself
    Worker,     // a worker thread's entry: signals, then runs until the stop message
};

struct Entry {
    const char *name;
    Role role;
    Call call;
    const char *whenMissing; // what the shell does without it
};

// In the order the shell calls them. SS_ForceStartup runs instead of
// SS_RunStartup with -s1; a checker runs it after the others, on its own.
constexpr Entry kEntries[] = {
    {kFillBuffer, Role::Config, Call::MainThread, "the shell skips it"},
    {kRunStartup, Role::Services, Call::Startup, "the shell runs no startup entry"},
    {kServiceMain, Role::Services, Call::Worker, "the shell runs no service thread"},
    {kShellMain, Role::Core, Call::Worker, "the shell ends at once"},
    {kForceStartup, Role::Services, Call::Startup, "with -s1 the shell runs no startup entry"},
    {kFreeBuffer, Role::Config, Call::MainThread, "the shell skips it"},
};

constexpr const char *LibraryOf(Role role)
{
    return role == Role::Config ? kConfigLibrary : role == Role::Services ? kServicesLibrary : kCoreLibrary;
}

// The worker threads: started in this order, each once the one before has
// signalled, and stopped in the other.
enum class Worker { Startup, Service, Core };
constexpr Worker kStartOrder[] = {Worker::Startup, Worker::Service, Worker::Core};
constexpr Worker kStopOrder[] = {Worker::Core, Worker::Startup, Worker::Service};

// The entry each worker runs; the startup worker's, without -s1.
constexpr const char *EntryOf(Worker worker)
{
    return worker == Worker::Startup ? kRunStartup : worker == Worker::Service ? kServiceMain : kShellMain;
}

} // namespace contract
