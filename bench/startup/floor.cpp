// The floor program: the system work the launcher cannot avoid, with no
// bookkeeping. Restricts the library search, creates the mutex, loads the
// three libraries, starts the startup, service and core threads one after
// another on their ready events, sets "ShellIsReadyEvent", sends WM_USER to
// the desktop window, waits for the core to end, and stops everything in
// reverse order. It carries the launcher's application manifest.

#include "contract.h"
#include "shellcomponent.h"

#include <process.h>
#include <stdio.h>
#include <string.h>

namespace {

char g_Dir[MAX_PATH];
HMODULE g_Services;

HMODULE Load(const char *name)
{
    char path[MAX_PATH];
    _snprintf(path, sizeof(path), "%s\\%s", g_Dir, name);
    return LoadLibraryExA(path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
}

unsigned __stdcall ServiceRoutine(void *ready)
{
    return reinterpret_cast<SS_MainProc>(reinterpret_cast<void *>(GetProcAddress(g_Services, contract::kServiceMain)))(1, ready);
}

unsigned __stdcall CoreRoutine(void *ready)
{
    HMODULE core = Load(contract::kCoreLibrary);
    const int result = reinterpret_cast<ShellMainProc>(reinterpret_cast<void *>(GetProcAddress(core, contract::kShellMain)))(g_Dir, ready);
    FreeLibrary(core);
    return result;
}

HANDLE Start(unsigned(__stdcall *routine)(void *), unsigned *id)
{
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, routine, ready, 0, id));
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
    return thread;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    GetModuleFileNameA(nullptr, g_Dir, sizeof(g_Dir));
    *strrchr(g_Dir, '\\') = '\0';

    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, contract::kShellMutex);
    HANDLE shellReady = CreateEventA(nullptr, TRUE, FALSE, contract::kShellReadyEvent);

    HMODULE config = Load(contract::kConfigLibrary);
    reinterpret_cast<SH_CFG_FillBufferProc>(reinterpret_cast<void *>(GetProcAddress(config, contract::kFillBuffer)))(g_Dir, nullptr);
    g_Services = Load(contract::kServicesLibrary);
    unsigned startupId, serviceId, coreId;
    HANDLE startup = Start(reinterpret_cast<SS_StartupProc>(reinterpret_cast<void *>(GetProcAddress(g_Services, contract::kRunStartup))), &startupId);
    HANDLE service = Start(ServiceRoutine, &serviceId);
    HANDLE core = Start(CoreRoutine, &coreId);
    SetEvent(shellReady);
    SendMessageA(GetDesktopWindow(), WM_USER, 0, 0);

    WaitForSingleObject(core, INFINITE);
    CloseHandle(core);
    WaitForSingleObject(startup, INFINITE);
    CloseHandle(startup);
    PostThreadMessageA(serviceId, SHELL_STOP_MESSAGE, 0, 0);
    WaitForSingleObject(service, INFINITE);
    CloseHandle(service);
    FreeLibrary(g_Services);
    reinterpret_cast<SH_CFG_FreeBufferProc>(reinterpret_cast<void *>(GetProcAddress(config, contract::kFreeBuffer)))();
    FreeLibrary(config);
    CloseHandle(shellReady);
    CloseHandle(mutex);
    return 0;
}
