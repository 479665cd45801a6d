// The shell's component libraries and the worker threads that run them, as
// hosting's contract orders them. Everything here is created, waited on,
// closed and cleared on the main thread.
#pragma once

#include "hosting.h"

extern UniqueModule g_ConfigLibrary;
extern UniqueModule g_ServicesLibrary;
extern WorkerThread g_CoreThread;
extern WorkerThread g_ServiceThread;
extern WorkerThread g_StartupThread;

// Start-up: the configuration library, then each worker thread in the
// contract's start order, each once the one before has signalled.
void StartComponents(LibrarySearch search);

// Shutdown: each worker thread in the contract's stop order, the services
// library, the configuration library. Harmless when a part is already gone.
void StopComponents();

// Stops the startup and service threads, then unloads their library, unless
// a thread of it could not be stopped: the library stays mapped under it.
void UnloadServicesLibrary();

// The startup entry to run: null to run none (-s0, or Shift held, which is
// tested first), "SS_ForceStartup" for -s1, else "SS_RunStartup".
const char *ChooseStartupEntry(int startupMode, bool shiftDown);
