// Shared by the sample components: console output and reading one value
// from the sample configuration file with modutil.
#pragma once

#include "modutil.h"
#include "shellcomponent.h"

#include <stdarg.h>
#include <stdio.h>

// Components have no window; the samples narrate on the launcher's standard
// output, which is the terminal when the shell runs under `make run`.
inline void Say(const char *component, const char *format, ...)
{
    char line[512];
    int length = _snprintf(line, sizeof(line), "[%s] ", component);
    va_list args;
    va_start(args, format);
    const int more = _vsnprintf(line + length, sizeof(line) - length - 2, format, args);
    va_end(args);
    length = more < 0 ? static_cast<int>(sizeof(line)) - 2 : length + more;
    line[length++] = '\n';
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
}

// The first word after `key` on the first line of <installDir>\shell.rc that
// starts with it, e.g. "CoreSeconds 8" gives "8". False when there is none.
inline bool ReadSetting(const char *installDir, const char *key, char *value)
{
    char path[MAX_PATH];
    _snprintf(path, sizeof(path), "%s\\shell.rc", installDir);
    path[MAX_PATH - 1] = '\0';
    FILE *file = MU_fOpen(path);
    char line[MU_MAX_TEXT], name[MU_MAX_TEXT];
    const bool found = MU_fGetLine(file, 0, line, key, sizeof(line)) && MU_SimpleToken(name, line, line) &&
                       MU_SimpleToken(value, nullptr, line);
    MU_fClose(file);
    return found;
}
