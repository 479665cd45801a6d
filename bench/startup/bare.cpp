// The bare program: creates and sets "ShellIsReadyEvent", then waits for the
// driver's signal to end, as the shell waits for its core.

#include "contract.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, contract::kShellReadyEvent);
    HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, "BenchCoreReturn");
    SetEvent(ready);
    if (go != nullptr) {
        WaitForSingleObject(go, INFINITE);
        CloseHandle(go);
    }
    CloseHandle(ready);
    return 0;
}
