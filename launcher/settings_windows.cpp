// The settings record and the routines that fill it from the system.

#include "LaunchSettings.h"
#include "ScopeExit.h"
#include "UniqueHandle.h"

LaunchSettings g_Settings;

const char *GetInstallDir()
{
    if (g_Settings.InstallDir != nullptr)
        return g_Settings.InstallDir;

    char path[kMaxPath];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    // A path that fills the whole buffer was cut, and may not be terminated.
    if (length == 0 || length >= sizeof(path))
        return nullptr;

    g_Settings.InstallDir = CopyDirectoryPart(path, length);
    return g_Settings.InstallDir;
}

int ParseCommandLine(const char *commandLine)
{
    return ParseCommandLine(g_Settings, commandLine, FileExists);
}

bool FileExists(const char *path)
{
    // A missing floppy or CD must not bring up the system's error dialog.
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS);
    const ScopeExit restoreMode([previousMode] { SetErrorMode(previousMode); });
    const UniqueFile file(CreateFileA(path, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}
