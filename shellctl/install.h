// Making an installation the user's shell, and undoing it: the Shell value
// under Winlogon, with what was there before kept under the installation's
// own key so that it can be put back exactly.
#pragma once

#include "Registration.h"

#include <string>

// Exit codes of the three commands.
constexpr int kDone = 0;
constexpr int kRefused = 1;      // the installation fails its checks
constexpr int kUsage = 2;        // bad arguments
constexpr int kNothingSaved = 3; // uninstall: nothing was saved, nothing changed
constexpr int kSystemError = 4;  // a registry or process call failed; nothing changed

// How the Shell value starts the installation: through the watcher, with
// its options where given (else its defaults), or the launcher directly;
// the launcher's switches either way.
struct InstallOptions {
    bool direct = false;
    bool force = false;        // installs even when the checks fail
    bool ifShell = false;      // only where the Shell value starts this installation already
    std::wstring watcherArgs;  // " --restarts 5 --min-run 9": checked against the watcher's table
    std::wstring switches;
};

int Install(const std::wstring &dir, registration::Hive hive, const InstallOptions &options);
int Uninstall(const std::wstring &dir, registration::Hive hive);
int Status();
