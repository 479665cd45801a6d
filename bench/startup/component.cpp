// Benchmark components: every entry signals at once. ShellMain then runs until
// the driver sets "BenchCoreReturn" (or the stop message arrives); SS_Main
// runs until the stop message; the startup entry returns at once.

#include "shellcomponent.h"

namespace {

// Waits for the stop message, or for `event` when one is given.
void RunUntilStopped(HANDLE event)
{
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    for (;;) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == SHELL_STOP_MESSAGE)
                return;
        }
        if (MsgWaitForMultipleObjects(event ? 1 : 0, &event, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 && event)
            return;
    }
}

} // namespace

extern "C" {

void __cdecl SH_CFG_FillBuffer(const char *, const char *) {}
void __cdecl SH_CFG_FreeBuffer(void) {}

int __cdecl ShellMain(const char *, HANDLE readyEvent)
{
    HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, "BenchCoreReturn");
    SetEvent(readyEvent);
    RunUntilStopped(go);
    if (go)
        CloseHandle(go);
    return 0;
}

int __cdecl SS_Main(int, HANDLE readyEvent)
{
    SetEvent(readyEvent);
    RunUntilStopped(nullptr);
    return 0;
}

unsigned __stdcall SS_RunStartup(void *readyEvent)
{
    SetEvent(readyEvent);
    return 0;
}

unsigned __stdcall SS_ForceStartup(void *readyEvent)
{
    return SS_RunStartup(readyEvent);
}

} // extern "C"
