// shellctl install, uninstall and status. Every registry write is checked;
// a failure part-way puts back what this run had already written, so the
// user is left with the state they had. Values are read and written as the
// registry stores them (wide), so a previous shell comes back byte for byte.

#include "install.h"

#include "Installation.h"
#include "SystemText.h"
#include "ScopeExit.h"
#include "UniqueHandle.h"
#include "contract.h"

#include <stdio.h>
#include <string.h>

#include <iterator>
#include <string>

using namespace installation;

namespace {

constexpr DWORD kCheckTimeoutMs = 300000;

struct Hive {
    HKEY root;
    const char *name;
};

Hive ChooseHive(bool allUsers)
{
    return allUsers ? Hive{HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"} : Hive{HKEY_CURRENT_USER, "HKEY_CURRENT_USER"};
}

std::string KeyName(const Hive &hive, const wchar_t *key)
{
    return std::string(hive.name) + "\\" + Narrow(key);
}

// Says what failed, on which key, and the system's reason; returns kSystemError.
int Fail(const char *what, const Hive &hive, const wchar_t *key, LONG error)
{
    fprintf(stderr, "shellctl: %s %s: %s\n", what, KeyName(hive, key).c_str(),
            SystemText(static_cast<DWORD>(error)).c_str());
    if (error == ERROR_ACCESS_DENIED && hive.root == HKEY_LOCAL_MACHINE)
        fprintf(stderr, "shellctl: --all-users needs administrator rights: run it from an elevated prompt\n");
    return kSystemError;
}

LONG OpenKey(const Hive &hive, const wchar_t *path, bool create, UniqueKey &key)
{
    return installation::OpenKey(hive.root, path, KEY_QUERY_VALUE | KEY_SET_VALUE, create, key);
}

bool StartsFile(const std::wstring &command, const std::wstring &file)
{
    const std::wstring program = ProgramOf(command);
    const std::wstring name = program.substr(program.find_last_of(L"\\/") + 1); // npos + 1 is 0
    return CompareStringOrdinal(name.c_str(), -1, file.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Whether a Shell value starts a launcher or watcher of ours, from any directory.
bool NamesOurs(const std::wstring &command)
{
    return StartsFile(command, kWatcherFile) || StartsFile(command, Widen(contract::kLauncherFile));
}

// Whether the installation in dir would give a working shell: its core is
// there and every component keeps the contract, by componentcheck (the one
// beside this program, of the same bitness). Says why not.
bool CheckInstallation(const std::wstring &dir, std::string &why)
{
    if (!FileExists(dir + L"\\" + Widen(contract::kCoreLibrary))) {
        why = std::string("no ") + contract::kCoreLibrary + " in " + Narrow(dir) + ": the shell would start no core";
        return false;
    }
    const std::wstring checker = ProgramDir() + L"\\componentcheck.exe";
    if (!FileExists(checker)) {
        why = "no componentcheck.exe beside shellctl.exe: the installation cannot be checked";
        return false;
    }
    std::wstring command = L"\"" + checker + L"\"";
    for (const char *library : {contract::kConfigLibrary, contract::kServicesLibrary, contract::kCoreLibrary}) {
        const std::wstring path = dir + L"\\" + Widen(library);
        if (FileExists(path))
            command += L" \"" + path + L"\"";
    }
    printf("checking %s with componentcheck\n", Narrow(dir).c_str());
    fflush(stdout);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        why = "componentcheck.exe does not start: " + SystemText(GetLastError());
        return false;
    }
    const UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForSingleObject(processHandle.get(), kCheckTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(processHandle.get(), 1);
        why = "componentcheck did not finish within " + std::to_string(kCheckTimeoutMs / 1000) + " s";
        return false;
    }
    GetExitCodeProcess(processHandle.get(), &exitCode);
    if (exitCode != 0) {
        why = "componentcheck found faults (exit code " + std::to_string(exitCode) + ", see above)";
        return false;
    }
    return true;
}

// The line that undoes this very install, machine-wide included.
void PrintRecovery(bool allUsers)
{
    printf("If the screen stays black after log-on: press Ctrl+Shift+Esc, choose File, Run new task, enter\n"
           "  \"%s\\shellctl.exe\" uninstall%s\n"
           "then log off and on again.\n",
           Narrow(ProgramDir()).c_str(), allUsers ? " --all-users" : "");
}

std::string Describe(const Value &value)
{
    return value.present ? Narrow(value.Text()) : "no value";
}

// The Shell value that starts the installation in dir as the options say.
std::wstring ShellCommand(const std::wstring &dir, const InstallOptions &options)
{
    if (options.direct)
        return L"\"" + dir + L"\\" + Widen(contract::kLauncherFile) + L"\"" +
               (options.switches.empty() ? L"" : L" " + Widen(options.switches));
    std::wstring command = L"\"" + dir + L"\\" + kWatcherFile + L"\"";
    for (const auto &[name, value] : {std::pair{L"--restarts", &options.restarts},
                                      std::pair{L"--ready-timeout", &options.readyTimeout},
                                      std::pair{L"--min-run", &options.minRun}}) {
        if (!value->empty())
            command += std::wstring(L" ") + name + L" " + Widen(*value);
    }
    if (!options.switches.empty())
        command += L" -- " + Widen(options.switches);
    return command;
}

// The user's record of the last log-on that went wrong, and its removal.
void PrintRecord()
{
    UniqueKey record;
    if (installation::OpenKey(HKEY_CURRENT_USER, kRecordKey, KEY_QUERY_VALUE, false, record) != ERROR_SUCCESS)
        return;
    Value time, what, started, dump, fault;
    Read(record.get(), kRecordTime, time);
    Read(record.get(), kRecordWhat, what);
    Read(record.get(), kRecordStarted, started);
    Read(record.get(), kRecordDump, dump);
    Read(record.get(), kRecordFault, fault);
    printf("last log-on: %s: %s\n", Describe(time).c_str(), Describe(what).c_str());
    if (fault.present)
        printf("  faulting module: %s\n", Describe(fault).c_str());
    if (dump.present)
        printf("  dump: %s\n", Describe(dump).c_str());
    if (started.present)
        printf("  started instead: %s\n", Describe(started).c_str());
}

void DeleteRecord()
{
    RegDeleteKeyW(HKEY_CURRENT_USER, kRecordKey);
    // Each fails, harmlessly, while anything else lives in it.
    RegDeleteKeyW(HKEY_CURRENT_USER, kProductKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kVendorKey);
}

} // namespace

int Install(const char *dirArgument, bool allUsers, bool force, const InstallOptions &options)
{
    const std::wstring given = dirArgument != nullptr ? Widen(dirArgument) : ProgramDir();
    const std::wstring dir = FullPath(given);
    // The launcher finds itself and its components by paths of the system's
    // limit: from a directory too long for them it would start nothing.
    const std::wstring longest = options.direct ? Widen(contract::kLauncherFile) : std::wstring(kWatcherFile);
    if (dir.empty() || dir.size() + 1 + longest.size() >= MAX_PATH) {
        fprintf(stderr,
                "shellctl: %s\\%s is longer than the %d characters a Windows path may have: the shell cannot "
                "start from there; install it in a shorter directory: nothing changed\n",
                Narrow(dir.empty() ? given : dir).c_str(), Narrow(longest).c_str(), MAX_PATH - 1);
        return kRefused;
    }
    const std::wstring launcher = dir + L"\\" + Widen(contract::kLauncherFile);
    if (!FileExists(launcher)) {
        fprintf(stderr, "shellctl: no %s in %s: nothing changed\n", contract::kLauncherFile, Narrow(dir).c_str());
        return kRefused;
    }
    if (!options.direct && !FileExists(dir + L"\\" + kWatcherFile)) {
        fprintf(stderr, "shellctl: no %s in %s, which restarts the shell and falls back to your previous one "
                        "(--direct makes %s itself the shell): nothing changed\n",
                Narrow(kWatcherFile).c_str(), Narrow(dir).c_str(), contract::kLauncherFile);
        return kRefused;
    }
    std::string why;
    if (!CheckInstallation(dir, why)) {
        fprintf(stderr, "shellctl: %s\n", why.c_str());
        if (!force) {
            fprintf(stderr, "shellctl: refused, this would leave you at a black screen at your next log-on "
                            "(--force installs all the same): nothing changed\n");
            return kRefused;
        }
        fprintf(stderr, "shellctl: --force: installing all the same\n");
    }

    const Hive hive = ChooseHive(allUsers);
    UniqueKey winlogon, product;
    if (const LONG error = OpenKey(hive, kWinlogonKey, true, winlogon))
        return Fail("cannot open", hive, kWinlogonKey, error);
    Value current;
    if (const LONG error = Read(winlogon.get(), kShellValue, current))
        return Fail("cannot read Shell under", hive, kWinlogonKey, error);

    // The first install keeps what was there; a later one keeps that, and
    // never takes a shell of ours for the user's previous shell.
    if (const LONG error = OpenKey(hive, kProductKey, true, product))
        return Fail("cannot create", hive, kProductKey, error);
    Saved saved;
    if (const LONG error = ReadSaved(product.get(), saved))
        return Fail("cannot read", hive, kProductKey, error);
    const bool saveNow = !saved.present;
    ScopeExit rollback([&] {
        if (saveNow)
            ForgetSaved(product.get());
    });
    if (saveNow) {
        Value previous = current;
        if (previous.present && NamesOurs(previous.Text()))
            previous = Value{};
        if (const LONG error = WriteSaved(product.get(), previous))
            return Fail("cannot save the previous shell under", hive, kProductKey, error);
    }

    const std::wstring command = ShellCommand(dir, options);
    if (const LONG error = Write(winlogon.get(), kShellValue, TextValue(command)))
        return Fail("cannot set Shell under", hive, kWinlogonKey, error);
    rollback.Dismiss();
    printf("Shell under %s: %s (was: %s)\n", KeyName(hive, kWinlogonKey).c_str(), Narrow(command).c_str(),
           Describe(current).c_str());
    if (!options.direct)
        printf("%s starts %s, starts it again after a crash and falls back to your previous shell "
               "when it cannot start\n",
               Narrow(kWatcherFile).c_str(), contract::kLauncherFile);
    ReadSaved(product.get(), saved);
    printf("uninstall%s puts back: %s (kept under %s)\n", allUsers ? " --all-users" : "",
           Describe(saved.previous).c_str(), KeyName(hive, kProductKey).c_str());
    if (allUsers) {
        // Winlogon takes the user's own value first: for this user the machine's does not count.
        const Hive user = ChooseHive(false);
        UniqueKey own;
        Value theirs;
        if (OpenKey(user, kWinlogonKey, false, own) == ERROR_SUCCESS &&
            Read(own.get(), kShellValue, theirs) == ERROR_SUCCESS && theirs.present)
            printf("your own Shell under %s still wins for you: %s\n", KeyName(user, kWinlogonKey).c_str(),
                   Describe(theirs).c_str());
    }
    PrintRecovery(allUsers);
    return kDone;
}

int Uninstall(bool allUsers)
{
    const Hive hive = ChooseHive(allUsers);
    UniqueKey product, winlogon;
    Saved saved;
    Value current;
    LONG error = OpenKey(hive, kProductKey, false, product);
    if (error == ERROR_SUCCESS)
        error = ReadSaved(product.get(), saved);
    if (error == ERROR_FILE_NOT_FOUND || (error == ERROR_SUCCESS && !saved.present)) {
        printf("nothing saved under %s: nothing changed\n", KeyName(hive, kProductKey).c_str());
        DeleteRecord();
        return kNothingSaved;
    }
    if (error != ERROR_SUCCESS)
        return Fail("cannot read", hive, kProductKey, error);
    const Value &previous = saved.previous;

    // With no Winlogon key there is no Shell value: already as it was, if it was absent.
    error = OpenKey(hive, kWinlogonKey, previous.present, winlogon);
    if (error == ERROR_SUCCESS)
        error = Read(winlogon.get(), kShellValue, current);
    if (error == ERROR_SUCCESS && current.present && !NamesOurs(current.Text())) {
        // Set by hand since the install: the user's choice stands.
        printf("Shell under %s is %s, not a shell of ours: left as it is\n", KeyName(hive, kWinlogonKey).c_str(),
               Describe(current).c_str());
    } else {
        if (error == ERROR_SUCCESS)
            error = Write(winlogon.get(), kShellValue, previous);
        if (error != ERROR_SUCCESS && !(error == ERROR_FILE_NOT_FOUND && !previous.present))
            return Fail("cannot put Shell back under", hive, kWinlogonKey, error);
        printf("Shell under %s: %s again\n", KeyName(hive, kWinlogonKey).c_str(), Describe(previous).c_str());
    }

    // What was saved has served; a failure here leaves it for the next uninstall, which is harmless.
    error = ForgetSaved(product.get());
    product.reset();
    DeleteRecord();
    if (error == ERROR_SUCCESS) {
        RegDeleteKeyW(hive.root, kProductKey);
        RegDeleteKeyW(hive.root, kVendorKey);
    }
    if (error != ERROR_SUCCESS)
        return Fail("put the shell back, but cannot clear", hive, kProductKey, error);
    return kDone;
}

int Status()
{
    const std::wstring dir = ProgramDir();
    int result = kDone;
    Value shell;
    const char *from = nullptr;
    for (const Hive &hive : {ChooseHive(false), ChooseHive(true)}) {
        UniqueKey winlogon;
        if (installation::OpenKey(hive.root, kWinlogonKey, KEY_QUERY_VALUE, false, winlogon) != ERROR_SUCCESS)
            continue;
        if (Read(winlogon.get(), kShellValue, shell) == ERROR_SUCCESS && shell.present) {
            from = hive.name;
            break;
        }
    }
    if (from == nullptr) {
        printf("next log-on starts: explorer.exe (no Shell value under Winlogon: the system's default)\n");
    } else {
        printf("next log-on starts: %s\n  from %s\\%s, value Shell\n", Describe(shell).c_str(), from,
               Narrow(kWinlogonKey).c_str());
    }
    const bool ours = from != nullptr && NamesInstallation(shell.Text(), dir);
    printf("this installation's launcher (%s\\%s): %s\n", Narrow(dir).c_str(), contract::kLauncherFile,
           ours ? "yes" : "no");
    if (ours) {
        printf("%s\n", StartsFile(shell.Text(), kWatcherFile) ? "watched by shellwatch.exe: restarted after a crash, the previous shell when it "
                                 "cannot start"
                               : "started directly (--direct): nothing restarts it or falls back");
    }

    for (const Hive &hive : {ChooseHive(false), ChooseHive(true)}) {
        UniqueKey product;
        Saved saved;
        if (installation::OpenKey(hive.root, kProductKey, KEY_QUERY_VALUE, false, product) != ERROR_SUCCESS)
            continue;
        if (ReadSaved(product.get(), saved) == ERROR_SUCCESS && saved.present)
            printf("uninstall%s puts back: %s\n", hive.root == HKEY_LOCAL_MACHINE ? " --all-users" : "",
                   Describe(saved.previous).c_str());
    }
    PrintRecord();
    if (ours) {
        std::string why;
        if (CheckInstallation(dir, why)) {
            printf("the installation passes the checks\n");
        } else {
            printf("the installation FAILS the checks: %s\n", why.c_str());
            result = kRefused;
        }
    }
    return result;
}
