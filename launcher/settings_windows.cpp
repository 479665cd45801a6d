// The installation directory and the file test, from the system.

#include "Shell.h"

#include "ScopeExit.h"
#include "Text.h"
#include "UniqueHandle.h"

InstallDirProblem FindInstallDir(InstallDir &dir)
{
    wchar_t path[kMaxPath];
    const DWORD length = GetModuleFileNameW(nullptr, path, kMaxPath);
    // A path that fills the whole buffer was cut, and may not be terminated.
    if (length == 0 || length >= kMaxPath)
        return InstallDirProblem::NotFound;
    std::optional<std::wstring> folder = DirectoryPart(std::wstring_view(path, length));
    if (!folder)
        return InstallDirProblem::NotFound;
    dir.path = std::move(*folder);
    // The one place the folder becomes the components' 8-bit text. Where the
    // code page cannot write it (Windows before 10 version 1903 ignores the
    // manifest's UTF-8), its short name can, when the volume keeps one.
    if (text::ToCodePage(dir.path, dir.forComponents))
        return InstallDirProblem::None;
    wchar_t shortPath[kMaxPath];
    const DWORD shortLength = GetShortPathNameW(dir.path.c_str(), shortPath, kMaxPath);
    if (shortLength > 0 && shortLength < kMaxPath &&
        text::ToCodePage(std::wstring_view(shortPath, shortLength), dir.forComponents))
        return InstallDirProblem::None;
    return InstallDirProblem::NotInCodePage;
}

// The -f value is tested as the scan read it, 8-bit.
bool FileExists(const char *path)
{
    // A missing floppy or CD must not bring up the system's error dialog.
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS);
    const ScopeExit restoreMode([previousMode] { SetErrorMode(previousMode); });
    const UniqueFile file(CreateFileA(path, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}
