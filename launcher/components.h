// The shell's component libraries and the worker threads that run them.
// Everything here is created, waited on, closed and cleared on the main thread.
#pragma once

#include "hosting.h"

extern UniqueModule g_ConfigLibrary;
extern UniqueModule g_ServicesLibrary;
extern WorkerThread g_CoreThread;
extern WorkerThread g_ServiceThread;
extern WorkerThread g_StartupThread;

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
