// The host process: one library, run as the shell runs it.
#pragma once

#include "checks.h"

// Hosts options.libraries[0] in this process and reports on options.report.
int RunHost(const Options &options);
