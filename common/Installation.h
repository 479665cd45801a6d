// What shellctl writes and the watcher reads at log-on: the Shell value under
// Winlogon, the previous shell kept under the product's key, the record of
// the last log-on, and how to tell that a command names this installation;
// and the paths of an installation (the program's own directory, a full
// path, whether a file is there), for those two and the checker.
// Values go through the wide registry calls, so what is kept is the stored
// bytes, whatever the ANSI code page can show.
#pragma once

#include "UniqueHandle.h"

#include <windows.h>

#include <string>
#include <vector>

namespace installation {

constexpr wchar_t kWinlogonKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
constexpr wchar_t kShellValue[] = L"Shell";
constexpr wchar_t kVendorKey[] = L"Software\\Brevant";
constexpr wchar_t kProductKey[] = L"Software\\Brevant\\Shell start-up";
// The Shell value as it was before the first install; an empty REG_NONE
// value when there was none (ReadSaved, WriteSaved).
constexpr wchar_t kPreviousValue[] = L"PreviousShell";
// Written by an earlier shellctl only, 1 beside a PreviousShell that was
// absent when there was none: still read, so that such an install uninstalls.
constexpr wchar_t kOlderSavedValue[] = L"PreviousShellSaved";

// The watcher's record of the last log-on that went wrong, always the
// user's own (HKEY_CURRENT_USER), under the product key.
constexpr wchar_t kRecordKey[] = L"Software\\Brevant\\Shell start-up\\Last log-on";
constexpr wchar_t kRecordTime[] = L"Time";       // local time, "2026-12-09 10:30:05"
constexpr wchar_t kRecordWhat[] = L"What";       // the sentence the notice showed
constexpr wchar_t kRecordExitCode[] = L"ExitCode";
constexpr wchar_t kRecordFault[] = L"Fault";     // "modcore.dll+0x1234", from the dump
constexpr wchar_t kRecordDump[] = L"Dump";
constexpr wchar_t kRecordStarted[] = L"Started"; // the shell started instead
constexpr wchar_t kRecordLaunches[] = L"Launches";

// The program the Shell value starts at log-on; it starts launcher.exe beside it.
constexpr wchar_t kWatcherFile[] = L"shellwatch.exe";
constexpr wchar_t kDefaultShell[] = L"explorer.exe";

// A registry value as stored, type and bytes, or absent.
struct Value {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    // A string value's text, up to its first terminator; empty for others.
    std::wstring Text() const;
};

// Opens (with create, creates) root\path; key holds it, or nothing on failure.
LONG OpenKey(HKEY root, const wchar_t *path, REGSAM access, bool create, UniqueKey &key);
LONG Read(HKEY key, const wchar_t *name, Value &value);
// Writes the value, or deletes it when it is to be absent.
LONG Write(HKEY key, const wchar_t *name, const Value &value);
Value TextValue(const std::wstring &text);
Value NumberValue(DWORD number);

// What install kept of the state before it, under the product key.
struct Saved {
    bool present = false; // false: nothing is kept
    Value previous;       // the Shell value as it was; absent if there was none
};
LONG ReadSaved(HKEY product, Saved &saved);
// Keeps previous (absent: there was none) in the one value.
LONG WriteSaved(HKEY product, const Value &previous);
LONG ForgetSaved(HKEY product);

// The program a command starts: the quoted path, or the text up to the first blank.
std::wstring ProgramOf(const std::wstring &command);
// Whether the command starts this installation's launcher or watcher.
bool NamesInstallation(const std::wstring &command, const std::wstring &dir);
std::wstring FullPath(const std::wstring &path);
// The running program's own directory; empty when its path does not fit.
std::wstring ProgramDir();
bool FileExists(const std::wstring &path);

// Text in the ANSI code page and back, for the programs' 8-bit output.
std::string Narrow(const std::wstring &text);
std::wstring Widen(const std::string &text);

// The component a launcher is held by at start-up: the last one of the
// start order that it has loaded (the one whose entry has not signalled).
std::string HeldBy(DWORD launcher);

} // namespace installation
