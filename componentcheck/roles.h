// What a library exports, and the roles that makes it play.
#pragma once

#include "checks.h"

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
// Every row a host reports for a library of these exports, in the order
// reported, each not observed yet.
std::vector<CheckResult> PlannedRows(const Exports &exports);
// Reports the exports.
void CheckExports(const Exports &exports);
