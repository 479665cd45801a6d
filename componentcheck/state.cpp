// The host process's state, the one object its parts share.

#include "state.h"

HostState g_Host;
