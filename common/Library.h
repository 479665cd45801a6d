// Libraries looked up at run time: an export by name, typed once here
// instead of a cast at every call, and a system library loaded from the
// system directory only, never from beside the program or the current
// directory, where a planted copy could lie.
#pragma once

#include <windows.h>

template <typename Proc>
Proc ExportOf(HMODULE library, const char *name)
{
    return library != nullptr ? reinterpret_cast<Proc>(reinterpret_cast<void *>(GetProcAddress(library, name)))
                              : nullptr;
}

// name: a file name such as L"dbghelp.dll". Null on failure.
inline HMODULE LoadSystemLibrary(const wchar_t *name)
{
    HMODULE library = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library != nullptr || GetLastError() != ERROR_INVALID_PARAMETER)
        return library;
    // No search flags on this system (Windows 7 without KB2533623): the full path.
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 1 + lstrlenW(name) >= MAX_PATH)
        return nullptr;
    path[length] = L'\\';
    lstrcpyW(path + length + 1, name);
    return LoadLibraryW(path);
}
