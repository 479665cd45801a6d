// The run as the shell makes it.
#pragma once

#include "state.h"

// Runs every entry and unloads the library again. False when it cannot be
// loaded, with the reason in error.
bool RunLibrary(HostState &host, DWORD &error);
