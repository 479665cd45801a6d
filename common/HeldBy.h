// What holds a launcher's start-up: the last component of the shell's start
// order that it has loaded, whose entry has not yet signalled (or returned).
#pragma once

#include <windows.h>

#include <string>

// "modcore.dll: ShellMain has not signalled"; "none of its components is
// loaded yet" before the first.
std::wstring HeldBy(DWORD launcher);
