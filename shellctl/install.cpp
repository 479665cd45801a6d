// shellctl install, uninstall and status. Every registry write is checked;
// a failure part-way puts back what this run had already written, so the
// user is left with the state they had.

#include "install.h"

#include "SystemText.h"
#include "UniqueHandle.h"
#include "contract.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

constexpr char kWinlogonKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
constexpr char kShellValue[] = "Shell";
constexpr char kVendorKey[] = "Software\\Brevant";
constexpr char kProductKey[] = "Software\\Brevant\\Shell start-up";
// The Shell value as it was before the first install (absent if it was).
constexpr char kPreviousValue[] = "PreviousShell";
// 1 once the previous state is saved: tells "there was none" from "nothing saved".
constexpr char kSavedValue[] = "PreviousShellSaved";
constexpr DWORD kCheckTimeoutMs = 300000;

struct Hive {
    HKEY root;
    const char *name;
};

Hive ChooseHive(bool allUsers)
{
    return allUsers ? Hive{HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"} : Hive{HKEY_CURRENT_USER, "HKEY_CURRENT_USER"};
}

std::string KeyName(const Hive &hive, const char *key)
{
    return std::string(hive.name) + "\\" + key;
}

// Says what failed, on which key, and the system's reason; returns kSystemError.
int Fail(const char *what, const std::string &key, LONG error)
{
    fprintf(stderr, "shellctl: %s %s: %s\n", what, key.c_str(), SystemText(static_cast<DWORD>(error)).c_str());
    if (error == ERROR_ACCESS_DENIED && key.rfind("HKEY_LOCAL_MACHINE", 0) == 0)
        fprintf(stderr, "shellctl: --all-users needs administrator rights: run it from an elevated prompt\n");
    return kSystemError;
}

// A registry value as stored, type and bytes, or absent.
struct Value {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    std::string Text() const
    {
        if (!present)
            return "";
        std::string text(data.begin(), data.end());
        return text.substr(0, text.find('\0'));
    }
};

LONG Read(HKEY key, const char *name, Value &value)
{
    value = Value{};
    DWORD size = 0;
    LONG error = RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size);
    if (error == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (error != ERROR_SUCCESS)
        return error;
    value.data.resize(size);
    error = RegQueryValueExA(key, name, nullptr, &value.type, value.data.data(), &size);
    value.data.resize(size);
    value.present = error == ERROR_SUCCESS;
    return error;
}

// Writes the value, or deletes it when it is to be absent.
LONG Write(HKEY key, const char *name, const Value &value)
{
    if (!value.present) {
        const LONG error = RegDeleteValueA(key, name);
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    return RegSetValueExA(key, name, 0, value.type, value.data.data(), static_cast<DWORD>(value.data.size()));
}

Value Text(const std::string &text)
{
    Value value;
    value.present = true;
    value.type = REG_SZ;
    value.data.assign(text.begin(), text.end() + 1); // with its terminator
    return value;
}

Value Flag()
{
    Value value;
    value.present = true;
    value.type = REG_DWORD;
    const DWORD one = 1;
    value.data.assign(reinterpret_cast<const BYTE *>(&one), reinterpret_cast<const BYTE *>(&one) + sizeof(one));
    return value;
}

LONG OpenKey(const Hive &hive, const char *path, bool create, UniqueKey &key)
{
    HKEY opened = nullptr;
    const REGSAM access = KEY_QUERY_VALUE | KEY_SET_VALUE;
    const LONG error = create ? RegCreateKeyExA(hive.root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                                nullptr, &opened, nullptr)
                              : RegOpenKeyExA(hive.root, path, 0, access, &opened);
    key.reset(error == ERROR_SUCCESS ? opened : nullptr);
    return error;
}

std::string FullPath(const char *path)
{
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(path, sizeof(full), full, nullptr);
    if (length == 0 || length >= sizeof(full))
        return "";
    std::string result(full);
    while (result.size() > 3 && result.back() == '\\') // keep "C:\"
        result.pop_back();
    return result;
}

std::string ProgramDir()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    if (length == 0 || length >= sizeof(path))
        return "";
    std::string dir(path, length);
    return dir.substr(0, dir.rfind('\\'));
}

bool FileExists(const std::string &path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The program a Shell value starts: the quoted path, or the text up to the first blank.
std::string ProgramOf(const std::string &command)
{
    if (!command.empty() && command[0] == '"')
        return command.substr(1, command.find('"', 1) - 1);
    return command.substr(0, command.find(' '));
}

bool SamePath(const std::string &a, const std::string &b)
{
    return _stricmp(FullPath(a.c_str()).c_str(), FullPath(b.c_str()).c_str()) == 0;
}

// Whether the installation in dir would give a working shell: its core is
// there and every component keeps the contract, by componentcheck (the one
// beside this program, of the same bitness). Says why not.
bool CheckInstallation(const std::string &dir, std::string &why)
{
    if (!FileExists(dir + "\\" + contract::kCoreLibrary)) {
        why = std::string("no ") + contract::kCoreLibrary + " in " + dir + ": the shell would start no core";
        return false;
    }
    const std::string checker = ProgramDir() + "\\componentcheck.exe";
    if (!FileExists(checker)) {
        why = "no componentcheck.exe beside shellctl.exe: the installation cannot be checked";
        return false;
    }
    std::string command = "\"" + checker + "\"";
    for (const char *library : {contract::kConfigLibrary, contract::kServicesLibrary, contract::kCoreLibrary}) {
        if (FileExists(dir + "\\" + library))
            command += " \"" + dir + "\\" + library + "\"";
    }
    printf("checking %s with componentcheck\n", dir.c_str());
    fflush(stdout);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
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

void PrintRecovery()
{
    printf("If the screen stays black after log-on: press Ctrl+Shift+Esc, choose File, Run new task, enter\n"
           "  \"%s\\shellctl.exe\" uninstall\n"
           "then log off and on again.\n",
           ProgramDir().c_str());
}

std::string Describe(const Value &value)
{
    return value.present ? value.Text() : "no value";
}

} // namespace

int Install(const char *dirArgument, bool allUsers, bool force)
{
    const std::string dir = FullPath(dirArgument != nullptr ? dirArgument : ProgramDir().c_str());
    const std::string launcher = dir + "\\launcher.exe";
    if (dir.empty() || !FileExists(launcher)) {
        fprintf(stderr, "shellctl: no launcher.exe in %s: nothing changed\n", dir.c_str());
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
    const std::string winlogonName = KeyName(hive, kWinlogonKey), productName = KeyName(hive, kProductKey);
    UniqueKey winlogon, product;
    if (const LONG error = OpenKey(hive, kWinlogonKey, true, winlogon))
        return Fail("cannot open", winlogonName, error);
    Value current, saved;
    if (const LONG error = Read(winlogon.get(), kShellValue, current))
        return Fail("cannot read Shell under", winlogonName, error);

    // The first install keeps what was there; a later one keeps that, and
    // never takes a launcher of ours for the user's previous shell.
    bool savedNow = false;
    if (const LONG error = OpenKey(hive, kProductKey, true, product))
        return Fail("cannot create", productName, error);
    if (const LONG error = Read(product.get(), kSavedValue, saved))
        return Fail("cannot read", productName, error);
    if (!saved.present) {
        Value previous = current;
        if (previous.present && SamePath(ProgramOf(previous.Text()), launcher))
            previous = Value{};
        LONG error = Write(product.get(), kPreviousValue, previous);
        if (error == ERROR_SUCCESS)
            error = Write(product.get(), kSavedValue, Flag());
        if (error != ERROR_SUCCESS) {
            Write(product.get(), kPreviousValue, Value{});
            Write(product.get(), kSavedValue, Value{});
            return Fail("cannot save the previous shell under", productName, error);
        }
        savedNow = true;
    }

    if (const LONG error = Write(winlogon.get(), kShellValue, Text("\"" + launcher + "\""))) {
        if (savedNow) {
            Write(product.get(), kPreviousValue, Value{});
            Write(product.get(), kSavedValue, Value{});
        }
        return Fail("cannot set Shell under", winlogonName, error);
    }
    printf("Shell under %s: \"%s\" (was: %s)\n", winlogonName.c_str(), launcher.c_str(), Describe(current).c_str());
    Value previous;
    Read(product.get(), kPreviousValue, previous);
    printf("uninstall%s puts back: %s (kept under %s)\n", allUsers ? " --all-users" : "", Describe(previous).c_str(),
           productName.c_str());
    PrintRecovery();
    return kDone;
}

int Uninstall(bool allUsers)
{
    const Hive hive = ChooseHive(allUsers);
    const std::string winlogonName = KeyName(hive, kWinlogonKey), productName = KeyName(hive, kProductKey);
    UniqueKey product, winlogon;
    Value saved, previous;
    LONG error = OpenKey(hive, kProductKey, false, product);
    if (error == ERROR_SUCCESS)
        error = Read(product.get(), kSavedValue, saved);
    if (error == ERROR_FILE_NOT_FOUND || (error == ERROR_SUCCESS && !saved.present)) {
        printf("nothing saved under %s: nothing changed\n", productName.c_str());
        return kNothingSaved;
    }
    if (error == ERROR_SUCCESS)
        error = Read(product.get(), kPreviousValue, previous);
    if (error != ERROR_SUCCESS)
        return Fail("cannot read", productName, error);

    // With no Winlogon key there is no Shell value: already as it was, if it was absent.
    error = OpenKey(hive, kWinlogonKey, previous.present, winlogon);
    if (error == ERROR_SUCCESS)
        error = Write(winlogon.get(), kShellValue, previous);
    if (error != ERROR_SUCCESS && !(error == ERROR_FILE_NOT_FOUND && !previous.present))
        return Fail("cannot put Shell back under", winlogonName, error);
    printf("Shell under %s: %s again\n", winlogonName.c_str(), Describe(previous).c_str());

    // What was saved has served; a failure here leaves it for the next uninstall, which is harmless.
    error = Write(product.get(), kSavedValue, Value{});
    if (error == ERROR_SUCCESS)
        error = Write(product.get(), kPreviousValue, Value{});
    product.reset();
    if (error == ERROR_SUCCESS) {
        // Each fails, harmlessly, while anything else lives in it.
        RegDeleteKeyA(hive.root, kProductKey);
        RegDeleteKeyA(hive.root, kVendorKey);
    }
    if (error != ERROR_SUCCESS)
        return Fail("put the shell back, but cannot clear", productName, error);
    return kDone;
}

int Status()
{
    const std::string launcher = ProgramDir() + "\\launcher.exe";
    int result = kDone;
    Value shell;
    const char *from = nullptr;
    for (const Hive &hive : {ChooseHive(false), ChooseHive(true)}) {
        UniqueKey winlogon;
        HKEY opened = nullptr;
        if (RegOpenKeyExA(hive.root, kWinlogonKey, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
            continue;
        winlogon.reset(opened);
        if (Read(winlogon.get(), kShellValue, shell) == ERROR_SUCCESS && shell.present) {
            from = hive.name;
            break;
        }
    }
    if (from == nullptr) {
        printf("next log-on starts: explorer.exe (no Shell value under Winlogon: the system's default)\n");
    } else {
        printf("next log-on starts: %s\n  from %s\\%s, value Shell\n", shell.Text().c_str(), from, kWinlogonKey);
    }
    const bool ours = from != nullptr && SamePath(ProgramOf(shell.Text()), launcher);
    printf("this installation's launcher (%s): %s\n", launcher.c_str(), ours ? "yes" : "no");

    for (const Hive &hive : {ChooseHive(false), ChooseHive(true)}) {
        UniqueKey product;
        HKEY opened = nullptr;
        Value saved, previous;
        if (RegOpenKeyExA(hive.root, kProductKey, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
            continue;
        product.reset(opened);
        if (Read(product.get(), kSavedValue, saved) == ERROR_SUCCESS && saved.present &&
            Read(product.get(), kPreviousValue, previous) == ERROR_SUCCESS)
            printf("uninstall%s puts back: %s\n", hive.root == HKEY_LOCAL_MACHINE ? " --all-users" : "",
                   Describe(previous).c_str());
    }
    if (ours) {
        std::string why;
        if (CheckInstallation(ProgramDir(), why)) {
            printf("the installation passes the checks\n");
        } else {
            printf("the installation FAILS the checks: %s\n", why.c_str());
            result = kRefused;
        }
    }
    return result;
}
