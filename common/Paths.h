// Paths as the programs handle them: wide, full, and compared as Windows
// compares file names (ordinal, ignoring case, long names for short ones).
#pragma once

#include <windows.h>

#include <string>

namespace paths {

// The full path, without a trailing backslash (but "C:\"); empty when it
// does not fit the system's limit.
std::wstring Full(const std::wstring &path);
// The full path with every short (8.3) component made long, where the file
// exists; else Full(path).
std::wstring Long(const std::wstring &path);
// Whether two paths name the same file, by their full long names.
bool Same(const std::wstring &a, const std::wstring &b);
// The directory part (before the last backslash), or empty.
std::wstring DirectoryOf(const std::wstring &path);
std::wstring Join(const std::wstring &dir, const std::wstring &name);

// The running program's own path and directory; empty when the path does
// not fit the system's limit.
std::wstring ProgramPath();
std::wstring ProgramDir();
// The system directory (System32, or SysWOW64 for a 32-bit program on
// 64-bit Windows) and the Windows directory.
std::wstring SystemDir();
std::wstring WindowsDir();

bool FileExists(const std::wstring &path);

} // namespace paths
