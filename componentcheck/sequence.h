// The run as the shell makes it.
#pragma once

#include "state.h"

// The run of the host's library, made once and run for each pass. It
// outlives the threads it starts, which report to it.
class Sequence {
public:
    explicit Sequence(HostState &host);
    Sequence(const Sequence &) = delete;
    Sequence &operator=(const Sequence &) = delete;

    // Runs every entry and unloads the library again. False when it cannot
    // be loaded, with the reason in error.
    bool Run(DWORD &error);

private:
    // What hosting tells of one entry's run, put into the host's state; and
    // the policy of the core's unload.
    class Observer final : public EntryObserver {
    public:
        Observer(HostState &host, EntryRun &run) : host_(host), run_(run) {}
        void Loaded(HMODULE library) override;
        void LoadFailed(DWORD error) override;
        void Entering() override;
        void Returned(int result, bool signalled) override;
        bool UnloadCoreNow() override;

    private:
        HostState &host_;
        EntryRun &run_;
    };

    Observer &ObserverOf(contract::Worker worker);

    HostState &host_;
    Observer startup_, service_, core_;
};
