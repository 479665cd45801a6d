// The launcher's run from entry to exit, on the process's main thread.
#pragma once

#include "UniqueHandle.h"

extern UniqueHandle g_InstanceMutex;      // "ShellMutex", from the guard to the final clean-up
extern UniqueHandle g_ShellIsReadyHandle; // "ShellIsReadyEvent", through the shutdown sequence

// The whole run for the process's complete command line; always returns 0.
int LauncherMain(const char *commandLine);

// The single-instance guard; true means go on.
bool CheckSingleInstance(const char *commandLine);

// Waits on the live worker threads and the thread's message queue until a
// quit message arrives.
void RunWaitLoop();

// Frees the settings texts and closes the mutex; safe to call again.
void FinalCleanup();
