// Sample services library (auxhost.dll). The launcher runs SS_RunStartup
// (or SS_ForceStartup with -s1) as the startup thread's own routine, then
// SS_Main on the service thread. Neither runs with -n; the startup entry is
// skipped with -s0 or while Shift is held.

#include "sample.h"

#include <string.h>

static char g_InstallDir[MAX_PATH];

// Startup items: every "StartupItem" line of shell.rc is announced. The
// startup entry gets no stop message, so it must end by itself.
static unsigned RunStartupItems(void *readyEvent, const char *how)
{
    SetEvent(readyEvent); // always signal first: no launcher code runs around this entry
    char path[MAX_PATH];
    _snprintf(path, sizeof(path), "%s\\shell.rc", g_InstallDir);
    path[MAX_PATH - 1] = '\0';
    FILE *file = MU_fOpen(path);
    char line[MU_MAX_TEXT], word[MU_MAX_TEXT];
    int items = 0;
    while (MU_fGetLine(file, 0, line, "StartupItem", sizeof(line)) && MU_SimpleToken(word, line, line) &&
           MU_SimpleToken(word, nullptr, line)) {
        Say("startup", "%s startup item: %s", how, word);
        ++items;
    }
    MU_fClose(file);
    Say("startup", "%d startup items done", items);
    return 0;
}

extern "C" unsigned __stdcall SS_RunStartup(void *readyEvent)
{
    return RunStartupItems(readyEvent, "running");
}

extern "C" unsigned __stdcall SS_ForceStartup(void *readyEvent)
{
    return RunStartupItems(readyEvent, "forcing");
}

extern "C" int __cdecl SS_Main(int serviceMainFlag, HANDLE readyEvent)
{
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // the queue for the stop message
    Say("services", "service host up (flag %d)", serviceMainFlag);
    SetEvent(readyEvent);
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == SHELL_STOP_MESSAGE)
            break;
    }
    Say("services", "service host down");
    return 0;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void *)
{
    if (reason == DLL_PROCESS_ATTACH) {
        // The startup entry receives no directory: use this library's own.
        GetModuleFileNameA(module, g_InstallDir, sizeof(g_InstallDir));
        if (char *slash = strrchr(g_InstallDir, '\\'))
            *slash = '\0';
    }
    return TRUE;
}
