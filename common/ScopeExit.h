// Runs a function when the scope ends, on every path: for putting back a
// setting changed for the scope's length.
#pragma once

#include <utility>

template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F onExit) : onExit_(std::move(onExit)) {}
    ScopeExit(const ScopeExit &) = delete;
    ScopeExit &operator=(const ScopeExit &) = delete;
    ~ScopeExit() { onExit_(); }

private:
    F onExit_;
};
