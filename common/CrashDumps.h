// Where the launcher's crash dumps lie, for the launcher that writes them
// and the watcher that reads them and writes one of a hung launcher; and
// dbghelp.dll, from the system directory only. No heap: the launcher calls
// these from its crash filter.
#pragma once

#include "contract.h"

#include <windows.h>

#include <stdio.h>

namespace crashdumps {

constexpr char kDirectory[] = "CrashDumps"; // where the system's error reporting keeps local dumps
constexpr auto &kName = contract::kLauncherFile; // an array: sizeof is its length + 1

// %LOCALAPPDATA%\CrashDumps; false when it does not fit.
inline bool Directory(char (&dir)[MAX_PATH])
{
    const DWORD base = GetEnvironmentVariableA("LOCALAPPDATA", dir, sizeof(dir));
    if (base == 0 || base >= sizeof(dir))
        return false;
    const int length = _snprintf(dir + base, sizeof(dir) - base, "\\%s", kDirectory);
    return length >= 0 && base + length < sizeof(dir);
}

// <dir>\launcher.exe.<pid>.dmp
inline bool PathOf(const char *dir, DWORD processId, char (&path)[MAX_PATH])
{
    const int length = _snprintf(path, sizeof(path), "%s\\%s.%lu.dmp", dir, kName, processId);
    return length >= 0 && length < static_cast<int>(sizeof(path));
}

inline HMODULE LoadDbgHelp()
{
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, sizeof(path));
    if (length == 0 || length >= sizeof(path) ||
        _snprintf(path + length, sizeof(path) - length, "\\dbghelp.dll") < 0)
        return nullptr;
    path[sizeof(path) - 1] = '\0';
    HMODULE dbghelp = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (dbghelp == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) // no search flags on this system
        dbghelp = LoadLibraryA(path);
    return dbghelp;
}

} // namespace crashdumps
