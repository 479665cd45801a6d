// The run as the shell makes it.
#pragma once

#include <windows.h>

// Runs every entry and unloads the library again. False when it cannot be
// loaded, with the reason in error.
bool RunLibrary(DWORD &error);
