// Where an address lies in a program's source, from the module's PDB,
// through the system's dbghelp: "Crash (modcore.cpp:42)". The PDB is looked
// for beside the module, as the SDK lays it, and where the module's debug
// directory names it. For the checker's crash row (the module in its own
// process) and the watcher's record (the module as a dump lists it).
// "Crash at modcore.cpp:42".
#pragma once

#include <windows.h>

#include <string>

// "function at file:line", "function" without line information, or empty
// when no symbols are found. session: GetCurrentProcess() for a module of
// this process; any other value names a session of its own (for a dump).
std::wstring SourceOf(HANDLE session, const std::wstring &modulePath, DWORD64 base, DWORD size, DWORD64 address);
