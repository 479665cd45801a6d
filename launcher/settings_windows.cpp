// The settings record and the routines that fill it from the system.

#include "LaunchSettings.h"
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

namespace {

// Sets the process's error mode for its lifetime, then puts the old one back.
class ScopedErrorMode {
public:
    explicit ScopedErrorMode(UINT mode) : previous_(SetErrorMode(mode)) {}
    ScopedErrorMode(const ScopedErrorMode &) = delete;
    ScopedErrorMode &operator=(const ScopedErrorMode &) = delete;
    ~ScopedErrorMode() { SetErrorMode(previous_); }

private:
    UINT previous_;
};

} // namespace

bool FileExists(const char *path)
{
    // A missing floppy or CD must not bring up the system's error dialog.
    const ScopedErrorMode failCriticalErrors(SEM_FAILCRITICALERRORS);
    const UniqueFile file(CreateFileA(path, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}
