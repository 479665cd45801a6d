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

// How far a probe of the handle values goes. Exact finds every handle.
// Placing serves a caller that only places the handles it finds, never
// counts them: where each probe is a round trip to a server (Wine), it
// stops after a much shorter run of free values.
enum class HandleProbe { Exact, Placing };

// The handle values GetHandleInformation accepts, in order: the kernel
// handles the process holds, on any system.
std::vector<HANDLE> OpenHandles(HandleProbe probe = HandleProbe::Exact);
