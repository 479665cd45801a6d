// Hooks on the library's imports, its threads, the queue probe.
#pragma once

#include "state.h"

void StartQueueProbe();
void StopQueueProbe();
// 1 when the thread has a message queue, 0 when not, -1 when no answer came.
LONG HasQueue(DWORD threadId);
// Hooks SetEvent and the thread-creating functions in the library's imports;
// the hooks, called by the library with no argument of ours, count the
// signals of the host's entries. Also tracks the threads its loading
// started: false when those cannot be looked for.
bool HookImports(HostState &host, HMODULE library);
bool SetEventHooked();
// The library's threads still running after kSettleMs; closes the handles of
// those that ended.
long long RunningLibraryThreads();
// Where the library thread with that id started, or null for none of its.
const void *StartOfLibraryThread(DWORD id);
