// What a library exports, and the roles that makes it play.
#pragma once

#include "contract.h"

#include <windows.h>

#include <string>
#include <vector>

struct Exports {
    std::vector<std::string> names;
    bool Plain(const char *name) const;
    const char *Decorated(const char *name) const; // the decorated export standing for name, or null
    bool HasRole(contract::Role role) const;
};

// Reads the export names from the file, without running the library.
bool ReadExports(const std::string &path, Exports &exports, DWORD &error);
// Announces every check this run will report, and reports the exports.
void PlanAndCheckExports(const Exports &exports);
