// Counting what a process holds, the same way before a library is loaded
// and after it is unloaded.
#pragma once

#include <windows.h>

#include <vector>

struct Counter {
    long long (*count)();
    const char *how; // said in the report
};

// Kernel handles: GetProcessHandleCount where the system counts them;
// otherwise (Wine reports 0) the handle values GetHandleInformation accepts.
Counter ChooseHandleCounter();

// GDI objects: GetGuiResources where the system counts them; otherwise
// (Wine reports 0) how many more bitmaps the process can create, negated,
// so that for either count a larger number means more objects held.
Counter ChooseGdiCounter();

// The handle values GetHandleInformation accepts, in order: the kernel
// handles the process holds, on any system. The probe stops after freeRun
// free values in a row; a caller that only places what it finds may take a
// shorter run, for each probe is a round trip to the server on Wine.
constexpr ULONG_PTR kHandleFreeRun = 1024;
std::vector<HANDLE> OpenHandles(ULONG_PTR freeRun = kHandleFreeRun);
