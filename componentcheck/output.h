// The checker: every library checked, the results printed.
#pragma once

#include "checks.h"

// Checks every library, each in a host process of its own, and prints the
// results; returns the checker's exit code.
int RunChecks(const Options &options);
