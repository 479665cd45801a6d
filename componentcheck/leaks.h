// Who left what: the second run's record of what each step made.
#pragma once

#include "checks.h"

#include <string>

// Hooks the functions that make GDI objects in the library's imports.
void HookGdiMakers(HMODULE library);
// Begins the second run's record of who made what.
void StartLeakRecord();
// In the second run, as a step begins: what appears from now on is put down
// to it (its entry, which outlives the record, or "loading it", "unloading
// it" for the library's own steps).
void NoteStep(const char *entry, Check check);
// Who left the kernel handles held now that were not when the second run
// began, and of what types: "ShellMain left 1 event". Empty when none is seen.
std::string HandlesLeftBy();
// Likewise for the GDI objects, of which count are left.
std::string GdiLeftBy(long long count);
