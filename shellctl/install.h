// Making an installation the user's shell, and undoing it: the Shell value
// under Winlogon, with what was there before kept under the product's own
// key so that it can be put back exactly.
#pragma once

// Exit codes of the three commands.
constexpr int kDone = 0;
constexpr int kRefused = 1;     // the installation fails its checks
constexpr int kUsage = 2;        // bad arguments
constexpr int kNothingSaved = 3; // uninstall: nothing was saved, nothing changed
constexpr int kSystemError = 4;  // a registry or process call failed; nothing changed

#include <string>

// How the Shell value starts the installation: through the watcher, with
// its settings where given (else its defaults), or the launcher directly;
// the launcher's switches either way.
struct InstallOptions {
    bool direct = false;
    std::string restarts, readyTimeout, minRun; // decimal, as given
    std::string switches;
};

int Install(const char *dir, bool allUsers, bool force, const InstallOptions &options);
int Uninstall(bool allUsers);
int Status();
