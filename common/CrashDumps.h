// Where the launcher's crash dumps lie, and how one is written: for the
// launcher that writes them, and the watcher that reads them and writes one
// of a hung launcher; dbghelp.dll comes from the system directory only. No
// heap of ours: the launcher calls these from its crash writer.
#pragma once

#include "UniqueHandle.h"
#include "contract.h"

#include <windows.h>

#include <dbghelp.h>
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

// Writes <dir>\launcher.exe.<pid>.dmp of the process into path; true when
// the whole dump was written (a half one is deleted).
//
// Wine's writer, given a process that dbghelp does not know yet, first loads
// the symbols of every module in it, PDBs and host libraries included: on a
// slow machine longer than the crash filter waits, which leaves an empty
// file. Registered first without loading anything, the process is dumped
// from its module list alone, which is all a minidump holds anyway.
inline bool Write(HANDLE process, DWORD processId, MINIDUMP_EXCEPTION_INFORMATION *exception,
                  char (&path)[MAX_PATH])
{
    using SymSetOptionsProc = DWORD(WINAPI *)(DWORD);
    using SymInitializeProc = BOOL(WINAPI *)(HANDLE, PCSTR, BOOL);
    using SymCleanupProc = BOOL(WINAPI *)(HANDLE);
    using MiniDumpWriteDumpProc = BOOL(WINAPI *)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                 PMINIDUMP_EXCEPTION_INFORMATION,
                                                 PMINIDUMP_USER_STREAM_INFORMATION,
                                                 PMINIDUMP_CALLBACK_INFORMATION);
    char dir[MAX_PATH];
    if (!Directory(dir) || !PathOf(dir, processId, path))
        return false;
    const UniqueModule dbghelp(LoadDbgHelp());
    const auto entry = [&dbghelp](const char *name) {
        return dbghelp ? reinterpret_cast<void *>(GetProcAddress(dbghelp.get(), name)) : nullptr;
    };
    const auto write = reinterpret_cast<MiniDumpWriteDumpProc>(entry("MiniDumpWriteDump"));
    const auto setOptions = reinterpret_cast<SymSetOptionsProc>(entry("SymSetOptions"));
    const auto initialize = reinterpret_cast<SymInitializeProc>(entry("SymInitialize"));
    const auto cleanup = reinterpret_cast<SymCleanupProc>(entry("SymCleanup"));
    if (write == nullptr)
        return false;
    CreateDirectoryA(dir, nullptr); // it may well exist already
    UniqueFile file(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;

    if (setOptions != nullptr)
        setOptions(SYMOPT_DEFERRED_LOADS | SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS);
    const bool registered = initialize != nullptr && cleanup != nullptr && initialize(process, nullptr, FALSE);
    const BOOL written = write(process, processId, file.get(), MiniDumpNormal, exception, nullptr, nullptr);
    if (registered)
        cleanup(process);
    file.reset();
    if (!written) {
        DeleteFileA(path); // half a dump helps nobody
        return false;
    }
    return true;
}

} // namespace crashdumps
