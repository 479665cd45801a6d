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

namespace {

constexpr DWORD kDumpWaitMs = 10000;
constexpr SIZE_T kWriterStack = SIZE_T{256} * 1024; // reserved; dbghelp needs some room

// The crash writer's state: process-wide, since the system calls the filter
// with no argument of ours; for the whole life of the process, so the
// writer's handle is never closed.
struct {
    LONG crashing;
    EXCEPTION_POINTERS *pointers;
    DWORD threadId;
    HANDLE writer; // suspended until the filter has filled in the rest
} g_Crash;

DWORD WINAPI WriteDump(void *)
{
    MINIDUMP_EXCEPTION_INFORMATION exception{g_Crash.threadId, g_Crash.pointers, FALSE};
    wchar_t path[MAX_PATH];
    return crashdumps::Write(GetCurrentProcess(), GetCurrentProcessId(), &exception, path) ? 0 : 1;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS *pointers)
{
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (InterlockedExchange(&g_Crash.crashing, 1) != 0) {
        // Another thread is already writing the dump and will end the process.
        Sleep(INFINITE);
    }
    g_Crash.pointers = pointers;
    g_Crash.threadId = GetCurrentThreadId();
    HANDLE writer = g_Crash.writer;
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
    g_Crash.writer = CreateThread(nullptr, kWriterStack, WriteDump, nullptr,
                            CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    SetUnhandledExceptionFilter(OnUnhandledException);
}
