// Sample services library (auxhost.dll). The launcher runs SS_RunStartup
// (or SS_ForceStartup with -s1) as the startup thread's own routine, then
// SS_Main on the service thread. Neither runs with -n; the startup entry is
// skipped with -s0 or while Shift is held.
//
// The startup thread runs before the core exists, so the items it starts
// reach the core's taskbar through the service thread, which lives as long
// as the shell: it hands each one over once the desktop is there.

#include "sample.h"

namespace {

char g_InstallDir[MAX_PATH];

// The startup items started so far, written by the startup thread and read by
// the service thread, under g_Lock.
constexpr int kMaxItems = 16;
constexpr int kItemLength = 128;
SRWLOCK g_Lock = SRWLOCK_INIT;
char g_Items[kMaxItems][kItemLength];
int g_ItemCount;
DWORD g_ServiceThread; // 0 while the service thread is not up

constexpr DWORD kRetryMs = 100;       // how often the service thread looks for the desktop
constexpr UINT kSendTimeoutMs = 1000; // a desktop that does not answer is tried again later

void Started(const char *item)
{
    AcquireSRWLockExclusive(&g_Lock);
    if (g_ItemCount < kMaxItems) {
        _snprintf(g_Items[g_ItemCount], kItemLength, "%s", item);
        g_Items[g_ItemCount][kItemLength - 1] = '\0';
        ++g_ItemCount;
    }
    const DWORD service = g_ServiceThread;
    ReleaseSRWLockExclusive(&g_Lock);
    if (service != 0)
        PostThreadMessageA(service, WM_NULL, 0, 0); // wakes it to hand the item over
}

// Startup items: every "StartupItem" line of shell.rc is started (here:
// announced). The startup entry gets no stop message, so it must end by itself.
unsigned RunStartupItems(void *readyEvent, const char *how)
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
        Started(word);
        ++items;
    }
    MU_fClose(file);
    Say("startup", "%d startup items done", items);
    return 0;
}

// Hands the desktop the items it has not had yet; returns how many it has had.
int HandOver(int handed)
{
    const HWND desktop = FindWindowA(kDesktopClass, nullptr);
    if (desktop == nullptr)
        return handed;
    AcquireSRWLockShared(&g_Lock);
    const int count = g_ItemCount;
    ReleaseSRWLockShared(&g_Lock);
    for (; handed < count; ++handed) {
        COPYDATASTRUCT data = {kStartupItemData, static_cast<DWORD>(strlen(g_Items[handed]) + 1), g_Items[handed]};
        if (!SendMessageTimeoutA(desktop, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG,
                                 kSendTimeoutMs, nullptr))
            break;
    }
    return handed;
}

} // namespace

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
    AcquireSRWLockExclusive(&g_Lock);
    g_ServiceThread = GetCurrentThreadId();
    ReleaseSRWLockExclusive(&g_Lock);
    Say("services", "service host up (flag %d)", serviceMainFlag);
    SetEvent(readyEvent);

    int handed = 0;
    for (;;) {
        handed = HandOver(handed);
        AcquireSRWLockShared(&g_Lock);
        const bool waiting = handed < g_ItemCount;
        ReleaseSRWLockShared(&g_Lock);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, waiting ? kRetryMs : INFINITE, QS_ALLINPUT);
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == SHELL_STOP_MESSAGE) {
                AcquireSRWLockExclusive(&g_Lock);
                g_ServiceThread = 0;
                g_ItemCount = 0; // a shell started again in this process starts its items again
                ReleaseSRWLockExclusive(&g_Lock);
                Say("services", "service host down");
                return 0;
            }
        }
    }
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
