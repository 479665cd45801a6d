// Why a library cannot be loaded.
#pragma once

#include <windows.h>

#include <string>

// What is wrong with the file or what it needs, for the load's error.
std::string WhyUnloadable(const std::string &path, DWORD error);
