// What a launcher's end says: its exit code in words, the place of a crash
// read from the dump the launcher wrote, and a dump of a launcher that hangs.
#pragma once

#include <windows.h>

#include <string>

// "0xC0000005, an access violation", or "exit code 3" for a plain exit.
std::wstring DescribeExitCode(DWORD code);

// The dump the launcher with that process id writes when it crashes.
std::wstring DumpPathOf(DWORD processId);

// "modcore.dll+0x1234": the module and offset of the exception recorded in
// the dump; empty when the dump is missing or cannot be read.
std::wstring FaultIn(const std::wstring &dumpPath);

// Writes a dump of the running process where its own crash dump would go,
// keeping the newest as the launcher does; the path, or empty when it could not.
std::wstring WriteDumpOf(HANDLE process, DWORD processId);
