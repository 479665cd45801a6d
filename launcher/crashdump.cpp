// Crash dumps. The log-on must never hang on a crashed shell: the dump is
// written on a thread of its own, waited for a bounded time, and then the
// process ends. A crash while the loader or heap lock is held may keep the
// writer from running at all; the bound covers that too.

#include "crashdump.h"

#include "LaunchSettings.h"
#include "hosting.h"

#include <dbghelp.h>
#include <stdio.h>

namespace {

constexpr DWORD kDumpWaitMs = 10000;
constexpr char kDumpDirectory[] = "CrashDumps"; // where the system's error reporting keeps local dumps
constexpr char kDumpName[] = "launcher.exe";

using MiniDumpWriteDumpProc = BOOL(WINAPI *)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                             PMINIDUMP_EXCEPTION_INFORMATION,
                                             PMINIDUMP_USER_STREAM_INFORMATION,
                                             PMINIDUMP_CALLBACK_INFORMATION);

struct Crash {
    EXCEPTION_POINTERS *pointers;
    DWORD threadId;
};

LONG g_Crashing;

// dbghelp.dll from the system directory, and only from there.
HMODULE LoadDbgHelp()
{
    char path[kMaxPath];
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

DWORD WINAPI WriteDump(void *param)
{
    const Crash *crash = static_cast<const Crash *>(param);
    char dir[kMaxPath];
    const DWORD base = GetEnvironmentVariableA("LOCALAPPDATA", dir, sizeof(dir));
    if (base == 0 || base >= sizeof(dir))
        return 1;
    char path[kMaxPath];
    const int dirLength = _snprintf(dir + base, sizeof(dir) - base, "\\%s", kDumpDirectory);
    if (dirLength < 0 || base + dirLength >= sizeof(dir))
        return 1;
    const int pathLength = _snprintf(path, sizeof(path), "%s\\%s.%lu.dmp", dir, kDumpName, GetCurrentProcessId());
    if (pathLength < 0 || pathLength >= static_cast<int>(sizeof(path)))
        return 1;

    UniqueModule dbghelp(LoadDbgHelp());
    const auto write = dbghelp ? FindEntry<MiniDumpWriteDumpProc>(dbghelp.get(), "MiniDumpWriteDump") : nullptr;
    if (write == nullptr)
        return 1;
    CreateDirectoryA(dir, nullptr); // it may well exist already
    UniqueFile file(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return 1;

    MINIDUMP_EXCEPTION_INFORMATION exception{crash->threadId, crash->pointers, FALSE};
    const BOOL written = write(GetCurrentProcess(), GetCurrentProcessId(), file.get(), MiniDumpNormal,
                               &exception, nullptr, nullptr);
    file.reset();
    if (!written)
        DeleteFileA(path); // half a dump helps nobody
    return written ? 0 : 1;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS *pointers)
{
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (InterlockedExchange(&g_Crashing, 1) != 0) {
        // Another thread is already writing the dump and will end the process.
        Sleep(INFINITE);
    }
    Crash crash{pointers, GetCurrentThreadId()};
    UniqueHandle writer(CreateThread(nullptr, 0, WriteDump, &crash, 0, nullptr));
    if (writer)
        WaitForSingleObject(writer.get(), kDumpWaitMs);
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

void InstallCrashDumpWriter()
{
    SetUnhandledExceptionFilter(OnUnhandledException);
}
