// Crash dumps. The log-on must never hang on a crashed shell: the dump is
// written on a thread of its own, waited for a bounded time, and then the
// process ends. A crash while the loader or heap lock is held may keep the
// writer from running at all; the bound covers that too.
//
// The filter runs on the crashed thread, which after a stack overflow has
// only a few KB of stack left: so the writer is made at start-up, suspended,
// and all the filter does is resume it, wait for it and end the process.
// Suspended, it costs the start-up only its creation: it runs none of the
// thread start-up work (the libraries' thread notifications) until a crash.

#include "crashdump.h"

#include "CrashDumps.h"
#include "LaunchSettings.h"
#include "hosting.h"

#include <stdio.h>

namespace {

constexpr DWORD kDumpWaitMs = 10000;
constexpr auto &kDumpName = crashdumps::kName;
constexpr size_t kKeptDumps = 10; // the system's own default for local dumps
constexpr SIZE_T kWriterStack = SIZE_T{256} * 1024; // reserved; dbghelp needs some room

struct Crash {
    EXCEPTION_POINTERS *pointers;
    DWORD threadId;
};

// For the whole life of the process, so never closed.
LONG g_Crashing;
Crash g_Crash;
HANDLE g_Writer; // suspended until the filter has filled in g_Crash

// "launcher.exe.<digits>.dmp": one of ours, never another program's.
bool IsOurDump(const char *name)
{
    const size_t prefix = sizeof(kDumpName) - 1;
    if (_strnicmp(name, kDumpName, prefix) != 0 || name[prefix] != '.')
        return false;
    const char *digits = name + prefix + 1;
    const char *end = digits;
    while (*end >= '0' && *end <= '9')
        ++end;
    return end > digits && _stricmp(end, ".dmp") == 0;
}

// Deletes all but the newest kKeptDumps of our dumps in dir. No heap: the
// crashed thread may hold its lock.
void KeepNewestDumps(const char *dir)
{
    struct Kept {
        char name[MAX_PATH];
        FILETIME written;
    };
    Kept kept[kKeptDumps]; // newest first
    size_t count = 0;
    char pattern[kMaxPath], path[kMaxPath];
    if (_snprintf(pattern, sizeof(pattern), "%s\\%s.*.dmp", dir, kDumpName) < 0)
        return;
    pattern[sizeof(pattern) - 1] = '\0';
    WIN32_FIND_DATAA found;
    const UniqueFind search(FindFirstFileA(pattern, &found));
    if (!search)
        return;
    do {
        if (!IsOurDump(found.cFileName))
            continue;
        size_t at = count;
        while (at > 0 && CompareFileTime(&found.ftLastWriteTime, &kept[at - 1].written) > 0)
            --at;
        const char *dropped = found.cFileName; // the file no longer among the newest
        if (at < kKeptDumps) {
            char oldest[MAX_PATH] = "";
            if (count == kKeptDumps)
                lstrcpynA(oldest, kept[kKeptDumps - 1].name, sizeof(oldest));
            else
                ++count;
            for (size_t i = count - 1; i > at; --i)
                kept[i] = kept[i - 1];
            lstrcpynA(kept[at].name, found.cFileName, sizeof(kept[at].name));
            kept[at].written = found.ftLastWriteTime;
            if (oldest[0] == '\0')
                continue;
            lstrcpynA(found.cFileName, oldest, sizeof(found.cFileName));
            dropped = found.cFileName;
        }
        if (_snprintf(path, sizeof(path), "%s\\%s", dir, dropped) > 0) {
            path[sizeof(path) - 1] = '\0';
            DeleteFileA(path);
        }
    } while (FindNextFileA(search.get(), &found));
}

DWORD WINAPI WriteDump(void *)
{
    MINIDUMP_EXCEPTION_INFORMATION exception{g_Crash.threadId, g_Crash.pointers, FALSE};
    char path[MAX_PATH], dir[MAX_PATH];
    if (!crashdumps::Write(GetCurrentProcess(), GetCurrentProcessId(), &exception, path) ||
        !crashdumps::Directory(dir))
        return 1;
    // A shell that crashes at every log-on must not fill the disk.
    KeepNewestDumps(dir);
    return 0;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS *pointers)
{
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (InterlockedExchange(&g_Crashing, 1) != 0) {
        // Another thread is already writing the dump and will end the process.
        Sleep(INFINITE);
    }
    g_Crash = {pointers, GetCurrentThreadId()};
    HANDLE writer = g_Writer;
    if (writer == nullptr || ResumeThread(writer) == static_cast<DWORD>(-1)) // none made at start-up: once more
        writer = CreateThread(nullptr, kWriterStack, WriteDump, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (writer != nullptr)
        WaitForSingleObject(writer, kDumpWaitMs);
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

void InstallCrashDumpWriter()
{
    g_Writer = CreateThread(nullptr, kWriterStack, WriteDump, nullptr,
                            CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    SetUnhandledExceptionFilter(OnUnhandledException);
}
