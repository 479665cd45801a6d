// Sample core library (modcore.dll). The launcher loads it on the core
// thread and calls ShellMain there. It must signal its ready event once it is
// up, then run until the stop message arrives, or end the whole shell by
// returning. This one ends the shell after CoreSeconds (from shell.rc).

#include "sample.h"

#include <stdlib.h>

extern "C" int __cdecl ShellMain(const char *installDir, HANDLE readyEvent)
{
    char value[MU_MAX_TEXT];
    const DWORD seconds = ReadSetting(installDir, "CoreSeconds", value) ? strtoul(value, nullptr, 10) : 10;

    // Create this thread's message queue before signalling, so that the stop
    // message cannot be posted before there is a queue to receive it.
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    char greeting[MU_MAX_TEXT];
    if (ReadSetting(installDir, "Greeting", greeting))
        Say("core", "%s", greeting);
    Say("core", "module system up; the shell ends in %lu s (CoreSeconds)", seconds);
    SetEvent(readyEvent); // from here on, readyEvent is the launcher's again

    const DWORD start = GetTickCount();
    for (;;) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == SHELL_STOP_MESSAGE) {
                Say("core", "stop message received; module system down");
                return 0;
            }
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= seconds * 1000) {
            Say("core", "time is up; ending the shell");
            return 0; // the launcher sees the core end and shuts the shell down
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, seconds * 1000 - elapsed, QS_ALLINPUT);
    }
}
