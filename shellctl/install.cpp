// shellctl install, uninstall and status. Every registry write is checked;
// a failure part-way puts back what this run had already written, so the
// user is left with the state they had. An installation is known by its
// folder: it changes a hive's Shell value only where that value starts one
// of its own programs, and keeps what it saved under its own key.

#include "install.h"

#include "ChildProcess.h"
#include "Paths.h"
#include "ScopeExit.h"
#include "SystemText.h"
#include "Text.h"
#include "contract.h"

#include <optional>

using namespace registration;
using registry::Value;
using text::Print;

namespace {

constexpr DWORD kCheckTimeoutMs = 300000;

std::wstring Wide(const char *ascii)
{
    return std::wstring(ascii, ascii + strlen(ascii));
}

std::wstring Quoted(const std::wstring &path)
{
    return L"\"" + path + L"\"";
}

std::wstring KeyName(Hive hive, const std::wstring &key)
{
    return std::wstring(NameOf(hive)) + L"\\" + key;
}

// Says what failed, on which key, and the system's reason; returns kSystemError.
int Fail(const wchar_t *what, Hive hive, const std::wstring &key, LONG error)
{
    Print(stderr, L"shellctl: %ls %ls: %ls\n", what, KeyName(hive, key).c_str(),
          SystemText(static_cast<DWORD>(error)).c_str());
    if (error == ERROR_ACCESS_DENIED && hive == Hive::Machine)
        Print(stderr, L"shellctl: --all-users needs administrator rights: run it from an elevated prompt\n");
    return kSystemError;
}

std::wstring Describe(const Value &value)
{
    if (!value.present)
        return L"no value";
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ)
        return L"a value of type " + std::to_wstring(value.type) + L" (" + std::to_wstring(value.data.size()) +
               L" bytes)";
    return value.Text();
}

// Whether the installation would give a working shell: its core is there
// and every component keeps the contract, by the componentcheck beside
// this program (of the same bitness). Says why not.
bool CheckInstallation(const Installation &installation, std::wstring &why)
{
    if (!paths::FileExists(paths::Join(installation.Folder(), Wide(contract::kCoreLibrary)))) {
        why = L"no " + Wide(contract::kCoreLibrary) + L" in " + installation.Folder() +
              L": the shell would start no core";
        return false;
    }
    const std::wstring checker = paths::Join(paths::ProgramDir(), L"componentcheck.exe");
    if (!paths::FileExists(checker)) {
        why = L"no componentcheck.exe beside shellctl.exe: the installation cannot be checked";
        return false;
    }
    std::wstring command = Quoted(checker);
    for (contract::Role role : contract::kStartRoles) {
        const std::wstring library = paths::Join(installation.Folder(), Wide(contract::LibraryOf(role)));
        if (paths::FileExists(library))
            command += L" " + Quoted(library);
    }
    Print(stdout, L"checking %ls with componentcheck\n", installation.Folder().c_str());
    ChildProcess check;
    ChildOptions options;
    options.inheritHandles = true; // its report goes where ours does
    if (!check.Start(command, options)) {
        why = L"componentcheck.exe does not start: " + SystemText(check.Error());
        return false;
    }
    if (!check.Wait(kCheckTimeoutMs)) {
        check.Terminate(1);
        why = L"componentcheck did not finish within " + std::to_wstring(kCheckTimeoutMs / 1000) + L" s";
        return false;
    }
    if (check.ExitCode() != 0) {
        why = L"componentcheck found faults (exit code " + std::to_wstring(check.ExitCode()) + L", see above)";
        return false;
    }
    return true;
}

// The folder to install, refused (with the reason) when the shell could not
// start from it. 0 when it may go on.
int RefuseUnfit(const std::wstring &dir, const std::wstring &given, const InstallOptions &options)
{
    // The launcher finds itself and its components by paths of the system's
    // limit: from a directory too long for them it would start nothing.
    const wchar_t *longest = options.direct ? kLauncherFile : kWatcherFile;
    if (dir.empty() || dir.size() + 1 + wcslen(longest) >= MAX_PATH) {
        Print(stderr,
              L"shellctl: %ls\\%ls is longer than the %d characters a Windows path may have: the shell cannot "
              L"start from there; install it in a shorter directory: nothing changed\n",
              (dir.empty() ? given : dir).c_str(), longest, MAX_PATH - 1);
        return kRefused;
    }
    if (!paths::FileExists(paths::Join(dir, kLauncherFile))) {
        Print(stderr, L"shellctl: no %ls in %ls: nothing changed\n", kLauncherFile, dir.c_str());
        return kRefused;
    }
    if (!options.direct && !paths::FileExists(paths::Join(dir, kWatcherFile))) {
        Print(stderr,
              L"shellctl: no %ls in %ls, which restarts the shell and falls back to your previous one "
              L"(--direct makes %ls itself the shell): nothing changed\n",
              kWatcherFile, dir.c_str(), kLauncherFile);
        return kRefused;
    }
    return 0;
}

// 0 when the installation passes its checks or --force says to go on.
int Check(const Installation &installation, bool force)
{
    std::wstring why;
    if (CheckInstallation(installation, why))
        return 0;
    Print(stderr, L"shellctl: %ls\n", why.c_str());
    if (!force) {
        Print(stderr, L"shellctl: refused, this would leave you at a black screen at your next log-on "
                      L"(--force installs all the same): nothing changed\n");
        return kRefused;
    }
    Print(stderr, L"shellctl: --force: installing all the same\n");
    return 0;
}

// The Shell value that starts the installation as the options say.
std::wstring ShellCommand(const Installation &installation, const InstallOptions &options)
{
    if (options.direct)
        return Quoted(installation.Launcher()) + (options.switches.empty() ? L"" : L" " + options.switches);
    return Quoted(installation.Watcher()) + options.watcherArgs +
           (options.switches.empty() ? L"" : L" -- " + options.switches);
}

// Another installation of ours that the value still starts though its files
// are gone: a package's upgrade into another folder has removed it.
std::optional<Installation> AbandonedBy(const Installation &installation, Hive hive, const Value &current)
{
    for (const Installation &other : Recorded(hive)) {
        if (other.RecordKey() != installation.RecordKey() && other.StartedBy(current.Text()) && !other.Complete())
            return other;
    }
    return std::nullopt;
}

// What the installation keeps of the hive's Shell value before it changes it.
struct Plan {
    Value previous;
    bool fromOlderRecord = false;     // the one record an earlier shellctl kept for the hive
    std::optional<Installation> from; // an abandoned installation's record, taken over
};

Plan PlanSave(const Installation &installation, Hive hive, const Value &current,
              const std::optional<Installation> &abandoned)
{
    Plan plan;
    plan.previous = current;
    Saved older, theirs;
    if (installation.StartedBy(current.Text())) {
        plan.previous = Value{}; // set by hand to this installation: there was no other
        if (ReadOlderSaved(hive, older) == ERROR_SUCCESS && older.present) {
            plan.previous = older.previous;
            plan.fromOlderRecord = true;
        }
    } else if (abandoned && abandoned->ReadSaved(hive, theirs) == ERROR_SUCCESS && theirs.present) {
        plan.previous = theirs.previous;
        plan.from = abandoned;
    }
    return plan;
}

// Keeps what was there (the first install only) and sets the Shell value;
// on a failure, takes back what it wrote.
int Register(const Installation &installation, Hive hive, const Value &current,
             const std::optional<Installation> &abandoned, const std::wstring &command)
{
    Saved saved;
    if (const LONG error = installation.ReadSaved(hive, saved))
        return Fail(L"cannot read", hive, installation.RecordKey(), error);
    const bool saveNow = !saved.present;
    const Plan plan = saveNow ? PlanSave(installation, hive, current, abandoned) : Plan{};
    ScopeExit rollback([&] {
        if (saveNow)
            installation.ForgetSaved(hive);
    });
    if (saveNow) {
        if (const LONG error = installation.WriteSaved(hive, plan.previous))
            return Fail(L"cannot save the previous shell under", hive, installation.RecordKey(), error);
    }
    if (const LONG error = WriteShell(hive, registry::TextValue(command)))
        return Fail(L"cannot set Shell under", hive, kWinlogonKey, error);
    rollback.Dismiss();
    if (plan.fromOlderRecord)
        ForgetOlderSaved(hive);
    if (plan.from) {
        plan.from->ForgetSaved(hive);
        Print(stdout, L"took over from %ls, whose files are gone\n", plan.from->Folder().c_str());
    }
    return kDone;
}

// The line that undoes this very install.
void PrintRecovery(const Installation &installation, Hive hive)
{
    const bool elsewhere = !paths::Same(installation.Folder(), paths::ProgramDir());
    Print(stdout,
          L"If the screen stays black after log-on: press Ctrl+Shift+Esc, choose File, Run new task, enter\n"
          L"  \"%ls\\shellctl.exe\" uninstall%ls%ls\n"
          L"then log off and on again.\n",
          paths::ProgramDir().c_str(), hive == Hive::Machine ? L" --all-users" : L"",
          elsewhere ? (L" " + Quoted(installation.Folder())).c_str() : L"");
}

// What now wins over the value just set, for this user.
void PrintWhatWins(Hive hive)
{
    Hive policyHive = Hive::User;
    const std::wstring policy = PolicyShell(policyHive);
    if (!policy.empty())
        Print(stdout, L"the policy's Shell under %ls still wins over both: %ls\n",
              KeyName(policyHive, kPolicyKey).c_str(), policy.c_str());
    Value theirs;
    if (hive == Hive::Machine && ReadShell(Hive::User, theirs) == ERROR_SUCCESS && theirs.present)
        Print(stdout, L"your own Shell under %ls still wins for you: %ls\n",
              KeyName(Hive::User, kWinlogonKey).c_str(), Describe(theirs).c_str());
}

void PrintInstalled(const Installation &installation, Hive hive, const Value &was, const std::wstring &command,
                    bool direct)
{
    Print(stdout, L"Shell under %ls: %ls (was: %ls)\n", KeyName(hive, kWinlogonKey).c_str(), command.c_str(),
          Describe(was).c_str());
    if (!direct)
        Print(stdout, L"%ls starts %ls, starts it again after a crash and falls back to your previous shell "
                      L"when it cannot start\n",
              kWatcherFile, kLauncherFile);
    Saved saved;
    installation.ReadSaved(hive, saved);
    Print(stdout, L"uninstall%ls puts back: %ls (kept under %ls)\n", hive == Hive::Machine ? L" --all-users" : L"",
          Describe(saved.previous).c_str(), KeyName(hive, installation.RecordKey()).c_str());
    PrintWhatWins(hive);
    PrintRecovery(installation, hive);
}

// The user's record of the last log-on, when it is about this installation
// (or was written before records named theirs).
bool RecordIsOf(const Installation &installation, UniqueKey &record, REGSAM access)
{
    registry::Value folder;
    return registry::OpenKey(HKEY_CURRENT_USER, kRecordKey, access, false, record) == ERROR_SUCCESS &&
           registry::Read(record.get(), kRecordFolder, folder) == ERROR_SUCCESS &&
           (!folder.present || paths::Same(folder.Text(), installation.Folder()));
}

void DeleteRecord(const Installation &installation)
{
    UniqueKey record;
    if (!RecordIsOf(installation, record, KEY_QUERY_VALUE))
        return;
    record.reset();
    RegDeleteKeyW(HKEY_CURRENT_USER, kRecordKey); // values only, all the watcher's
    registry::DeleteKeyIfEmpty(HKEY_CURRENT_USER, kProductKey);
    registry::DeleteKeyIfEmpty(HKEY_CURRENT_USER, kVendorKey);
}

} // namespace

int Install(const std::wstring &dirArgument, Hive hive, const InstallOptions &options)
{
    const std::wstring dir = paths::Full(dirArgument.empty() ? paths::ProgramDir() : dirArgument);
    if (const int refused = RefuseUnfit(dir, dirArgument, options))
        return refused;
    const Installation installation(dir);
    Value current;
    if (const LONG error = ReadShell(hive, current))
        return Fail(L"cannot read Shell under", hive, kWinlogonKey, error);
    const bool ours = installation.StartedBy(current.Text());
    const std::optional<Installation> abandoned = AbandonedBy(installation, hive, current);
    if (options.ifShell && !ours && !abandoned) {
        Print(stdout, L"Shell under %ls is %ls, not this installation's: left as it is\n",
              KeyName(hive, kWinlogonKey).c_str(), Describe(current).c_str());
        return kDone;
    }
    if (const int refused = Check(installation, options.force))
        return refused;
    if (options.ifShell && ours) {
        Print(stdout, L"Shell under %ls already starts this installation: left as it is\n",
              KeyName(hive, kWinlogonKey).c_str());
        return kDone;
    }
    const std::wstring command = ShellCommand(installation, options);
    if (const int failed = Register(installation, hive, current, abandoned, command))
        return failed;
    PrintInstalled(installation, hive, current, command, options.direct);
    return kDone;
}

int Uninstall(const std::wstring &dirArgument, Hive hive)
{
    const Installation installation(dirArgument.empty() ? paths::ProgramDir() : paths::Full(dirArgument));
    PutBackResult result;
    const LONG error = PutBack(installation, hive, result);
    if (error != ERROR_SUCCESS && !result.saved)
        return Fail(result.failed, hive, result.failedKey, error);
    if (!result.saved) {
        Print(stdout, L"nothing saved for %ls under %ls: nothing changed\n", installation.Folder().c_str(),
              NameOf(hive));
        return kNothingSaved;
    }
    if (result.wasOurs)
        Print(stdout, L"Shell under %ls: %ls again\n", KeyName(hive, kWinlogonKey).c_str(),
              Describe(result.previous).c_str());
    else if (error == ERROR_SUCCESS) // set by hand since the install, or to another shell: that choice stands
        Print(stdout, L"Shell under %ls is %ls, not this installation's: left as it is\n",
              KeyName(hive, kWinlogonKey).c_str(), Describe(result.current).c_str());
    for (const std::wstring &other : result.relinked)
        Print(stdout, L"%ls now falls back to %ls, not to this installation\n", other.c_str(),
              Describe(result.previous).c_str());
    if (error != ERROR_SUCCESS)
        return Fail(result.failed, hive, result.failedKey, error);
    DeleteRecord(installation);
    return kDone;
}

namespace {

// Which value the next log-on starts, and from where; empty for the system's default.
std::wstring PrintNextShell()
{
    Hive hive = Hive::User;
    std::wstring policy = PolicyShell(hive);
    if (!policy.empty()) {
        Print(stdout, L"next log-on starts: %ls\n  from the policy under %ls, value Shell, which wins over "
                      L"both Winlogon values\n",
              policy.c_str(), KeyName(hive, kPolicyKey).c_str());
        return policy;
    }
    for (Hive each : kHives) {
        Value shell;
        if (ReadShell(each, shell) == ERROR_SUCCESS && shell.present) {
            Print(stdout, L"next log-on starts: %ls\n  from %ls, value Shell\n", Describe(shell).c_str(),
                  KeyName(each, kWinlogonKey).c_str());
            return shell.Text();
        }
    }
    Print(stdout, L"next log-on starts: %ls (no Shell value under Winlogon: the system's default)\n",
          kDefaultShell);
    return L"";
}

void PrintSaved(const Installation &installation)
{
    for (Hive hive : kHives) {
        Saved saved;
        Value shell;
        if (installation.ReadSaved(hive, saved) == ERROR_SUCCESS && !saved.present &&
            ReadShell(hive, shell) == ERROR_SUCCESS && installation.StartedBy(shell.Text()))
            ReadOlderSaved(hive, saved);
        if (saved.present)
            Print(stdout, L"uninstall%ls puts back: %ls\n", hive == Hive::Machine ? L" --all-users" : L"",
                  Describe(saved.previous).c_str());
    }
}

void PrintRecord(const Installation &installation)
{
    UniqueKey record;
    if (!RecordIsOf(installation, record, KEY_QUERY_VALUE))
        return;
    Value time, what, started, notStarted, dump, fault;
    registry::Read(record.get(), kRecordTime, time);
    registry::Read(record.get(), kRecordWhat, what);
    registry::Read(record.get(), kRecordStarted, started);
    registry::Read(record.get(), kRecordNotStarted, notStarted);
    registry::Read(record.get(), kRecordDump, dump);
    registry::Read(record.get(), kRecordFault, fault);
    Print(stdout, L"last log-on: %ls: %ls\n", Describe(time).c_str(), Describe(what).c_str());
    if (fault.present)
        Print(stdout, L"  faulting module: %ls\n", Describe(fault).c_str());
    if (dump.present)
        Print(stdout, L"  dump: %ls\n", Describe(dump).c_str());
    if (notStarted.present)
        Print(stdout, L"  not started: %ls\n", Describe(notStarted).c_str());
    if (started.present)
        Print(stdout, L"  started instead: %ls\n", Describe(started).c_str());
}

} // namespace

int Status()
{
    const Installation installation = Installation::OfThisProgram();
    const std::wstring shell = PrintNextShell();
    const bool ours = installation.StartedBy(shell);
    Print(stdout, L"this installation's launcher (%ls): %ls\n", installation.Launcher().c_str(), ours ? L"yes" : L"no");
    if (ours)
        Print(stdout, L"%ls\n",
              paths::Same(ProgramOf(shell), installation.Watcher())
                  ? L"watched by shellwatch.exe: restarted after a crash, the previous shell when it cannot start"
                  : L"started directly (--direct): nothing restarts it or falls back");
    PrintSaved(installation);
    PrintRecord(installation);
    if (!ours)
        return kDone;
    std::wstring why;
    if (CheckInstallation(installation, why)) {
        Print(stdout, L"the installation passes the checks\n");
        return kDone;
    }
    Print(stdout, L"the installation FAILS the checks: %ls\n", why.c_str());
    return kRefused;
}
