// Reading and patching the image of a loaded (or image-mapped) library.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The names the library exports.
std::vector<std::string> ExportNames(HMODULE module);

// The names of the libraries it imports from.
std::vector<std::string> ImportNames(HMODULE module);

// Points every slot of the library's import address table that imports
// `function` by name at replacement. Returns what the first slot held (the
// function the library would have called), or null when it imports no such
// function; a slot bound to another address (a second C runtime) is left.
void *PatchImport(HMODULE module, const char *function, void *replacement);

// Whether no image is mapped at base any more.
bool IsUnmapped(const void *base);
