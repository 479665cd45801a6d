// A crash in the host, reported with its code, where and in whose thread.
#pragma once

#include "state.h"

// Makes a crash anywhere in the host a crash record, which names whose
// thread it was in from the host's state.
void CatchCrashes(const HostState &host);
