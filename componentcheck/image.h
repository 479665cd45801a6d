// A library's image: read without running it, its imports patched once it
// is loaded, and why it cannot be loaded, in words an author can act on.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Maps the library at path as an image without running it and reads its
// export names, or the names of the libraries it imports from. False when
// it cannot be mapped, with the system's reason in error.
bool ReadImageNames(const std::wstring &path, bool exports, std::vector<std::string> &names, DWORD &error);

// Points every slot of the library's import address table that imports
// `function` by name at replacement. Returns what the first slot held (the
// function the library would have called), or null when it imports no such
// function; a slot bound to another address (a second C runtime) is left.
void *PatchImport(HMODULE module, const char *function, void *replacement);

// Whether no image is mapped at base any more.
bool IsUnmapped(const void *base);

// No such file, not a Windows library, cut short, the other bitness, or the
// DLLs it needs that the shell's search would not find (its own directory,
// which is the shell's application directory, and the system's); else the
// system's reason.
std::string WhyUnloadable(const std::wstring &path, DWORD error);
