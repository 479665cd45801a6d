// Where the launcher's crash dumps lie, how one is written, and how many are
// kept: for the launcher that writes them, and the watcher that reads them
// and writes one of a hung launcher; dbghelp.dll comes from the system
// directory only. Wide paths, so a profile folder of any name keeps its
// dumps. No heap of ours: the launcher calls these from its crash writer.
#pragma once

#include "Library.h"
#include "UniqueHandle.h"

#include <windows.h>

#include <dbghelp.h>
#include <stdio.h>

namespace crashdumps {

constexpr wchar_t kDirectory[] = L"CrashDumps"; // where the system's error reporting keeps local dumps
constexpr wchar_t kName[] = L"launcher.exe";
constexpr size_t kKept = 10; // the system's own default count for local dumps

// %LOCALAPPDATA%\CrashDumps; false when it does not fit.
inline bool Directory(wchar_t (&dir)[MAX_PATH])
{
    const DWORD base = GetEnvironmentVariableW(L"LOCALAPPDATA", dir, MAX_PATH);
    if (base == 0 || base >= MAX_PATH)
        return false;
    const int length = _snwprintf(dir + base, MAX_PATH - base, L"\\%ls", kDirectory);
    return length >= 0 && base + length < MAX_PATH;
}

// <dir>\launcher.exe.<pid>.dmp
inline bool PathOf(const wchar_t *dir, DWORD processId, wchar_t (&path)[MAX_PATH])
{
    const int length = _snwprintf(path, MAX_PATH, L"%ls\\%ls.%lu.dmp", dir, kName, processId);
    return length >= 0 && length < MAX_PATH;
}

// "launcher.exe.<digits>.dmp": one of ours, never another program's.
inline bool IsOurs(const wchar_t *name)
{
    const size_t prefix = sizeof(kName) / sizeof(kName[0]) - 1;
    if (_wcsnicmp(name, kName, prefix) != 0 || name[prefix] != L'.')
        return false;
    const wchar_t *digits = name + prefix + 1;
    const wchar_t *end = digits;
    while (*end >= L'0' && *end <= L'9')
        ++end;
    return end > digits && _wcsicmp(end, L".dmp") == 0;
}

// Deletes all but the newest kKept of our dumps in dir, so that a shell that
// fails at every log-on never fills the disk; other programs' are never touched.
inline void KeepNewest(const wchar_t *dir)
{
    struct Kept {
        wchar_t name[MAX_PATH];
        FILETIME written;
    };
    Kept kept[kKept]; // newest first
    size_t count = 0;
    wchar_t pattern[MAX_PATH], path[MAX_PATH];
    if (_snwprintf(pattern, MAX_PATH, L"%ls\\%ls.*.dmp", dir, kName) < 0)
        return;
    pattern[MAX_PATH - 1] = L'\0';
    WIN32_FIND_DATAW found;
    const UniqueFind search(FindFirstFileW(pattern, &found));
    if (!search)
        return;
    do {
        if (!IsOurs(found.cFileName))
            continue;
        size_t at = count;
        while (at > 0 && CompareFileTime(&found.ftLastWriteTime, &kept[at - 1].written) > 0)
            --at;
        wchar_t dropped[MAX_PATH]; // the file no longer among the newest
        lstrcpynW(dropped, found.cFileName, MAX_PATH);
        if (at < kKept) {
            dropped[0] = L'\0';
            if (count == kKept)
                lstrcpynW(dropped, kept[kKept - 1].name, MAX_PATH);
            else
                ++count;
            for (size_t i = count - 1; i > at; --i)
                kept[i] = kept[i - 1];
            lstrcpynW(kept[at].name, found.cFileName, MAX_PATH);
            kept[at].written = found.ftLastWriteTime;
        }
        if (dropped[0] != L'\0' && _snwprintf(path, MAX_PATH, L"%ls\\%ls", dir, dropped) > 0) {
            path[MAX_PATH - 1] = L'\0';
            DeleteFileW(path);
        }
    } while (FindNextFileW(search.get(), &found));
}

// Writes <dir>\launcher.exe.<pid>.dmp of the process into path, then keeps
// the newest kKept; true when the whole dump was written (a half one is deleted).
//
// Wine's writer, given a process that dbghelp does not know yet, first loads
// the symbols of every module in it, PDBs and host libraries included: on a
// slow machine longer than the crash filter waits, which leaves an empty
// file. Registered first without loading anything, the process is dumped
// from its module list alone, which is all a minidump holds anyway.
inline bool Write(HANDLE process, DWORD processId, MINIDUMP_EXCEPTION_INFORMATION *exception,
                  wchar_t (&path)[MAX_PATH])
{
    using SymSetOptionsProc = DWORD(WINAPI *)(DWORD);
    using SymInitializeProc = BOOL(WINAPI *)(HANDLE, PCSTR, BOOL);
    using SymCleanupProc = BOOL(WINAPI *)(HANDLE);
    wchar_t dir[MAX_PATH];
    if (!Directory(dir) || !PathOf(dir, processId, path))
        return false;
    const UniqueModule dbghelp(LoadSystemLibrary(L"dbghelp.dll"));
    const auto write = ExportOf<decltype(&MiniDumpWriteDump)>(dbghelp.get(), "MiniDumpWriteDump");
    const auto setOptions = ExportOf<SymSetOptionsProc>(dbghelp.get(), "SymSetOptions");
    const auto initialize = ExportOf<SymInitializeProc>(dbghelp.get(), "SymInitialize");
    const auto cleanup = ExportOf<SymCleanupProc>(dbghelp.get(), "SymCleanup");
    if (write == nullptr)
        return false;
    CreateDirectoryW(dir, nullptr); // it may well exist already
    UniqueFile file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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
        DeleteFileW(path); // half a dump helps nobody
        return false;
    }
    KeepNewest(dir);
    return true;
}

} // namespace crashdumps
