// Registry values as the registry stores them: type and bytes, or absent.
// Read and written through the wide calls, so that what is kept and put
// back is the stored bytes, whatever the code page can show.
#pragma once

#include "UniqueHandle.h"

#include <windows.h>

#include <string>
#include <vector>

namespace registry {

struct Value {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    // A string value's text, up to its first terminator; empty for others.
    std::wstring Text() const;
};

Value TextValue(const std::wstring &text);
Value NumberValue(DWORD number);

// Opens (with create, creates) root\path; key holds it, or nothing on failure.
LONG OpenKey(HKEY root, const wchar_t *path, REGSAM access, bool create, UniqueKey &key);
// Reads a value; a missing one is absent, not an error.
LONG Read(HKEY key, const wchar_t *name, Value &value);
// Writes the value, or deletes it when it is to be absent.
LONG Write(HKEY key, const wchar_t *name, const Value &value);
// Deletes root\path only when it holds no value and no subkey: the system's
// call deletes a key with values in it, which would take what is not ours.
// view: KEY_WOW64_64KEY for the machine's own view from a 32-bit program, or 0.
void DeleteKeyIfEmpty(HKEY root, const wchar_t *path, REGSAM view = 0);
// The names of the subkeys of root\path; empty when there is none.
std::vector<std::wstring> SubkeysOf(HKEY root, const wchar_t *path, REGSAM view = 0);

} // namespace registry
