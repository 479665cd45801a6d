// The shell's component libraries and the worker threads that run them.
// Everything here is created, waited on, closed and cleared on the main thread.
#pragma once

#include "UniqueHandle.h"

// A worker thread with its identifier and its ready event. The event stays
// open until the thread has ended and is reaped or stopped: an entry that
// signals late or twice must never hit a handle value the system has since
// given to the next thread's ready event.
struct WorkerThread {
    UniqueHandle thread;
    UniqueHandle ready;
    DWORD id = 0;

    explicit operator bool() const { return static_cast<bool>(thread); }
    HANDLE get() const { return thread.get(); }
    // Closes the thread and its ready event; only once the thread has ended.
    void reset()
    {
        thread.reset();
        ready.reset();
        id = 0;
    }
};

extern UniqueModule g_ConfigLibrary;
extern UniqueModule g_ServicesLibrary;
extern WorkerThread g_CoreThread;
extern WorkerThread g_ServiceThread;
extern WorkerThread g_StartupThread;

// Takes the current directory and PATH out of the library search for the
// whole process, before any component is loaded. False when the system
// offers no way to do so; then no component is loaded at all.
bool RestrictLibrarySearch();

// Start-up, in this order.
void LoadConfigLibrary();
void LoadServicesLibrary(); // starts the startup thread, then the service thread
void StartCoreThread();

// Shutdown, in this order. Each is harmless when its part is already gone.
void StopCoreThread();
void UnloadServicesLibrary(); // stops the startup thread, then the service thread
void UnloadConfigLibrary();

// The startup entry to run: null to run none (-s0, or Shift held, which is
// tested first), "SS_ForceStartup" for -s1, else "SS_RunStartup".
const char *ChooseStartupEntry(int startupMode, bool shiftDown);
