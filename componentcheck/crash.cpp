// A crash in the host, reported with its code, where it happened and in
// whose thread; and the system's reasons, in words.

#include "crash.h"

#include "hooks.h"
#include "sender.h"
#include "state.h"

#include <stdio.h>
#include <string.h>

namespace {

// The filter is called by the system, with no argument of ours.
const HostState *g_Crashing;

const char *ExceptionName(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "access violation";
    case EXCEPTION_STACK_OVERFLOW: return "stack overflow";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "integer division by zero";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "illegal instruction";
    case EXCEPTION_BREAKPOINT: return "breakpoint";
    case STATUS_STACK_BUFFER_OVERRUN: return "stack buffer overrun";
    default: return "exception";
    }
}

const char *AccessName(ULONG_PTR kind)
{
    switch (kind) {
    case EXCEPTION_WRITE_FAULT: return "writing";
    case EXCEPTION_EXECUTE_FAULT: return "executing";
    default: return "reading";
    }
}

// "module+0xoffset" for an address, or that it lies in no module.
std::string Where(const void *address)
{
    HMODULE module = nullptr;
    char path[MAX_PATH];
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<const char *>(address), &module) ||
        GetModuleFileNameA(module, path, sizeof(path)) == 0)
        return "an address outside any module (unmapped code?)";
    const char *name = strrchr(path, '\\') != nullptr ? strrchr(path, '\\') + 1 : path;
    char where[MAX_PATH + 32];
    _snprintf(where, sizeof(where) - 1, "%s+0x%lx", name,
              static_cast<unsigned long>(static_cast<const BYTE *>(address) - reinterpret_cast<const BYTE *>(module)));
    where[sizeof(where) - 1] = '\0';
    return where;
}

// Whose thread the crash is in: an entry's, one the library started, or the host's own.
std::string Whose(DWORD thread)
{
    for (const EntryRun *run : {&g_Crashing->startup, &g_Crashing->service, &g_Crashing->core}) {
        if (run->entry != nullptr && run->threadId == thread)
            return std::string("the thread of ") + run->entry->name;
    }
    if (const void *start = StartOfLibraryThread(thread))
        return "a thread the library started (entry " + Where(start) + ")";
    return "a thread of the host's own";
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS *pointers)
{
    const EXCEPTION_RECORD &record = *pointers->ExceptionRecord;
    char access[64] = "";
    if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2)
        _snprintf(access, sizeof(access) - 1, " %s 0x%p", AccessName(record.ExceptionInformation[0]),
                  reinterpret_cast<void *>(record.ExceptionInformation[1]));
    char code[16];
    _snprintf(code, sizeof(code), "0x%08lX", record.ExceptionCode);
    SendCrash(std::string(ExceptionName(record.ExceptionCode)) + " (" + code + ")" + access + " at " +
              Where(record.ExceptionAddress) + ", in " + Whose(GetCurrentThreadId()) +
              (InSecondRun() ? ", in the second run (the one that counts)" : ""));
    TerminateProcess(GetCurrentProcess(), record.ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

void CatchCrashes(const HostState &host)
{
    g_Crashing = &host;
    SetUnhandledExceptionFilter(OnCrash);
}
