// Runs a function when the scope ends, on every path: for putting back a
// setting changed for the scope's length, or for a rollback that the path
// which succeeds dismisses.
#pragma once

#include <utility>

template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F onExit) : onExit_(std::move(onExit)) {}
    ScopeExit(const ScopeExit &) = delete;
    ScopeExit &operator=(const ScopeExit &) = delete;
    ~ScopeExit()
    {
        if (armed_)
            onExit_();
    }
    void Dismiss() { armed_ = false; }

private:
    F onExit_;
    bool armed_ = true;
};
