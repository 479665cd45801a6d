// The launcher's settings, as its command line gives them, and the text
// handling that reads them: portable, so that it is also built natively,
// under the sanitizers and the fuzzer.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

constexpr size_t kMaxPath = 260; // the platform's path limit, terminator included
using PathText = std::array<char, kMaxPath>; // a path as the components take it, terminated

// What a second copy does (-m).
enum class InstanceModes { AskOnSecondCopy, EndQuietly /* -m0 */, StartAnyway /* -m1 */ };
// The startup items (-s).
enum class StartupModes { Normal, Skipped /* -s0 */, Forced /* -s1 */ };

struct LaunchSettings {
    // The first -f value that names an existing file, as scanned (lower
    // case): 8-bit text, as config.dll is handed it. Held in place: no heap
    // that could run out at log-on.
    std::optional<PathText> ConfigFile;
    InstanceModes InstanceMode = InstanceModes::AskOnSecondCopy;
    StartupModes StartupMode = StartupModes::Normal;
    bool ServicesEnabled = true; // -n clears: no desktop announcement, no services
    int ServiceMainFlag = 1;     // -t makes it 0; handed to SS_Main unchanged
};

using FileTest = bool (*)(const char *path);

// The switches in the process's complete command line, its first token (the
// program's own path) left out; the defaults where none is given, or where
// no memory can be had for the scan. A -f value counts only where fileExists
// says a file of that name exists.
LaunchSettings ParseCommandLine(const char *commandLine, FileTest fileExists);

// Everything before the path's last backslash; nothing when it has none, or
// has it first.
std::optional<std::wstring> DirectoryPart(std::wstring_view path);
