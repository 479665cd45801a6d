// A shell registration: which program the log-on starts, and what an
// installation of ours owns. shellctl, the watcher and the installer's
// action all go by this one model:
//
// - the Shell value under Winlogon, per hive (the user's wins over the
//   machine's, and the policy's over both), read and written here only;
// - a command line resolved to the program the log-on would start, as
//   CreateProcess resolves it;
// - an installation, identified by its folder: its programs are "ours" by
//   full path, never by file name, and what it saved of each hive's Shell
//   value at install is kept under a key of its own, which no other
//   installation reads or writes;
// - the launcher processes an installation runs in this session.
#pragma once

#include "Registry.h"

#include <windows.h>

#include <string>
#include <vector>

namespace registration {

enum class Hive { User, Machine };
constexpr Hive kHives[] = {Hive::User, Hive::Machine}; // in the order the log-on prefers them

HKEY RootOf(Hive hive);
const wchar_t *NameOf(Hive hive); // "HKEY_CURRENT_USER"

constexpr wchar_t kWinlogonKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
constexpr wchar_t kPolicyKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
constexpr wchar_t kShellValue[] = L"Shell";
constexpr wchar_t kVendorKey[] = L"Software\\Brevant";
constexpr wchar_t kProductKey[] = L"Software\\Brevant\\Shell start-up";
constexpr wchar_t kInstallationsKey[] = L"Software\\Brevant\\Shell start-up\\Installations";

// The watcher's record of the last log-on that went wrong, always the
// user's own (HKEY_CURRENT_USER).
constexpr wchar_t kRecordKey[] = L"Software\\Brevant\\Shell start-up\\Last log-on";
constexpr wchar_t kRecordTime[] = L"Time";       // local time, "2026-12-09 10:30:05"
constexpr wchar_t kRecordWhat[] = L"What";       // the sentence the notice showed
constexpr wchar_t kRecordExitCode[] = L"ExitCode";
constexpr wchar_t kRecordFault[] = L"Fault";     // "modcore.dll+0x1234", from the dump
constexpr wchar_t kRecordDump[] = L"Dump";
constexpr wchar_t kRecordStarted[] = L"Started"; // the shell started instead
constexpr wchar_t kRecordNotStarted[] = L"NotStarted"; // previous shells tried first, and why each failed
constexpr wchar_t kRecordLaunches[] = L"Launches";
constexpr wchar_t kRecordFolder[] = L"Folder";   // the installation it is about

constexpr wchar_t kWatcherFile[] = L"shellwatch.exe";
constexpr wchar_t kLauncherFile[] = L"launcher.exe";
constexpr wchar_t kDefaultShell[] = L"explorer.exe";

// The Shell value of a hive as stored; absent when neither it nor its key is there.
LONG ReadShell(Hive hive, registry::Value &value);
// Writes it, or deletes it when it is to be absent.
LONG WriteShell(Hive hive, const registry::Value &value);
// The policy's Shell value, which the log-on takes over both hives'; empty
// when no policy sets one (from: the hive that does).
std::wstring PolicyShell(Hive &from);

// The command line with its environment references expanded, at whatever length that takes.
std::wstring Expanded(const std::wstring &command);
// Every program path CreateProcess would try for the command line, in its
// order: the quoted name; unquoted, the text up to each blank in turn and
// then the whole (".exe" added where the name has no extension). A name
// without a directory is looked for where the log-on looks: its own
// (system) directory, the Windows directory, then PATH.
std::vector<std::wstring> ProgramCandidates(const std::wstring &command);
// The program the command line starts: the first candidate that exists; empty when none does.
std::wstring ProgramOf(const std::wstring &command);

// What an installation saved of a hive's Shell value at install.
struct Saved {
    bool present = false;     // false: nothing is kept for this hive
    registry::Value previous; // the value as it was, type and bytes; absent if there was none
};

class Installation {
public:
    explicit Installation(const std::wstring &folder);
    static Installation OfThisProgram();

    const std::wstring &Folder() const { return folder_; }
    std::wstring Launcher() const;
    std::wstring Watcher() const;
    // Whether the program (a full path) is its launcher or its watcher.
    bool Owns(const std::wstring &program) const;
    // Whether the command line starts one of its programs; for a program
    // that no longer exists, by the candidates CreateProcess would try.
    bool StartedBy(const std::wstring &command) const;
    // Whether its launcher and watcher are there.
    bool Complete() const;

    // Its key in a hive: kInstallationsKey\<id>, the id made from the folder.
    std::wstring RecordKey() const;
    LONG ReadSaved(Hive hive, Saved &saved) const;
    LONG WriteSaved(Hive hive, const registry::Value &previous) const;
    LONG ForgetSaved(Hive hive) const;

    // Its launcher processes in this session, by their full image path.
    std::vector<DWORD> Launchers() const;
    // A name for a kernel object of this installation in this session.
    std::wstring SessionObjectName(const wchar_t *what) const;

private:
    std::wstring folder_;
};

// The installations that saved something in the hive.
std::vector<Installation> Recorded(Hive hive);

// What putting back a hive's Shell value found and did.
struct PutBackResult {
    bool saved = false;       // the installation had kept the hive's value
    bool wasOurs = false;     // the value still started it, and was put back
    registry::Value previous; // what it had kept
    registry::Value current;  // the value as it was found
    std::vector<std::wstring> relinked; // installations that fall back to `previous` now, not to this one
    const wchar_t *failed = L""; // what could not be done, on an error: "cannot put Shell back under"
    std::wstring failedKey;
};

// Undoes the installation's install in the hive: where the Shell value still
// starts it, puts back what it kept (a value set to another shell since
// stays); installations that kept this one as their previous shell get what
// it kept instead; then forgets what it kept. Nothing changes when it kept
// nothing (result.saved false) or the Shell value cannot be put back.
LONG PutBack(const Installation &installation, Hive hive, PutBackResult &result);

// What a shellctl before per-installation records kept, one for the whole
// hive, under the product key: read so that such an install still
// uninstalls exactly, and dropped once taken over.
LONG ReadOlderSaved(Hive hive, Saved &saved);
LONG ForgetOlderSaved(Hive hive);

} // namespace registration
