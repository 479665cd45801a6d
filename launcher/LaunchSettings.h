// The launcher's process-wide settings and the routines that fill them.
//
// The settings are written on the main thread before any component starts and
// only read afterwards (worker threads read InstallDir and ServiceMainFlag),
// so they need no lock.
#pragma once

#include <cstddef>

constexpr size_t kMaxPath = 260; // the platform's path limit, terminator included

// The -m and -s states, stored as these numbers: one above the switch's digit.
enum InstanceModes : int { kAskOnSecondCopy = 0, kEndQuietly = 1, kStartAnyway = 2 };
enum StartupModes : int { kStartupNormal = 0, kStartupSkipped = 1, kStartupForced = 2 };

struct LaunchSettings {
    char *InstallDir = nullptr; // launcher's directory, no trailing backslash; heap
    char *ConfigFile = nullptr; // existing file named by -f, or null; heap
    int InstanceMode = kAskOnSecondCopy; // a second copy: ask, end quietly (-m0), start anyway (-m1)
    int StartupMode = kStartupNormal;    // normal, skipped (-s0), forced (-s1)
    int ServicesEnabled = 1;    // -n clears: no desktop announcement, no services
    int ServiceMainFlag = 1;    // -t clears; handed to SS_Main unchanged
};

extern LaunchSettings g_Settings;

// ---- Portable text handling, settings_portable.cpp (also built natively, for
// the sanitizers and fuzzing)

using FileTest = bool (*)(const char *path);

// Resets the option fields to their defaults and applies the switches found
// in commandLine, the executable's own path (its first token) excepted.
// A -f value naming a file for which fileExists is true sets ConfigFile (heap)
// unless it is already set. Always returns 1.
int ParseCommandLine(LaunchSettings &settings, const char *commandLine, FileTest fileExists);

// The directory part of an executable path of `length` characters: a heap copy
// of everything before the last backslash, or null when there is no backslash,
// it stands first, or memory is short.
char *CopyDirectoryPart(const char *path, size_t length);

// Frees a heap text of the settings and clears the pointer.
void FreeText(char *&text);

// ---- The system's side, settings_windows.cpp

// InstallDir, computed and cached on the first successful call; null when the
// executable's path cannot be had in full.
const char *GetInstallDir();

// ParseCommandLine on g_Settings with FileExists. Always returns 1.
int ParseCommandLine(const char *commandLine);

// True when a file of that name can be opened (directories cannot).
bool FileExists(const char *path);
