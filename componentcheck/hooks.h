// Hooks on the library's imports, its threads, the queue probe.
#pragma once

#include "state.h"

void StartQueueProbe();
void StopQueueProbe();
// 1 when the thread has a message queue, 0 when not, -1 when no answer came.
LONG HasQueue(DWORD threadId);
// Hooks SetEvent and the thread-creating functions in the library's imports.
void HookImports(HMODULE library);
bool SetEventHooked();
// The library's threads still running after kSettleMs; closes the handles of
// those that ended.
long long RunningLibraryThreads();
// The library thread with that id, or null.
const LibraryThread *FindLibraryThread(DWORD id);
