// A crash in the host, reported with its code, where and in whose thread.
#pragma once

#include <windows.h>

#include <string>

LONG WINAPI OnCrash(EXCEPTION_POINTERS *pointers);
