// The supervisor: one library's host process run under a watchdog, and what
// it reported, for the output to print.
#pragma once

#include "checks.h"

#include <string>
#include <vector>

struct LibraryReport {
    std::string library;
    std::vector<CheckResult> rows; // in the order the host planned them
    bool unloadable = false;
};

// Runs one library in a host process of its own under a watchdog and
// collects its records; a crash, hang or early exit of the host becomes the
// verdict of the step it was in.
LibraryReport CheckLibrary(const Options &options, const std::string &library);
