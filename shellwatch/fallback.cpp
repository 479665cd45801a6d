#include "fallback.h"

#include "ChildProcess.h"
#include "SystemText.h"
#include "boxes.h"
#include "fault.h"

#include <algorithm>
#include <iterator>
#include <vector>

using namespace registration;
using registry::Value;

namespace {

constexpr wchar_t kNoticeCaption[] = L"Brevant - Previous shell started";
constexpr UINT kNoticeStyle = MB_SYSTEMMODAL | MB_ICONWARNING | MB_OK;
// A notice nobody reads closes by itself, so the watcher never outlives the log-on for long.
constexpr DWORD kNoticeMs = 10 * 60 * 1000;
// A previous shell that ends within this did not start: the next one is tried.
constexpr DWORD kSettleMs = 1000;

// The hive whose Shell value starts this installation (the user's wins at
// log-on); the user's own when neither does, as when started by hand.
Hive InstalledHive(const Installation &installation)
{
    for (Hive hive : kHives) {
        Value shell;
        if (ReadShell(hive, shell) == ERROR_SUCCESS && shell.present)
            return installation.StartedBy(shell.Text()) ? hive : Hive::User;
    }
    return Hive::User;
}

// What this installation saved of the hive's value at install (or, for an
// install an earlier shellctl made, its one record); empty for none.
std::wstring SavedShell(const Installation &installation, Hive hive)
{
    Saved saved;
    Value shell;
    if (installation.ReadSaved(hive, saved) == ERROR_SUCCESS && !saved.present &&
        ReadShell(hive, shell) == ERROR_SUCCESS && installation.StartedBy(shell.Text()))
        ReadOlderSaved(hive, saved);
    return saved.present ? saved.previous.Text() : L"";
}

// The shells the user had, in the order they are tried: what install saved,
// the machine's value, the system's; never one that starts this installation.
std::vector<std::wstring> PreviousShells(const Installation &installation)
{
    Value machine;
    ReadShell(Hive::Machine, machine);
    std::vector<std::wstring> shells;
    for (const std::wstring &command :
         {SavedShell(installation, InstalledHive(installation)), machine.Text(), std::wstring(kDefaultShell)}) {
        if (!command.empty() && !installation.StartedBy(command) &&
            std::find(shells.begin(), shells.end(), command) == shells.end())
            shells.push_back(command);
    }
    return shells;
}

// Starts a previous shell; false, with why, when it cannot be started or ends at once.
bool StartPrevious(const std::wstring &command, std::wstring &why)
{
    ChildProcess shell;
    if (!shell.Start(Expanded(command))) {
        why = L"could not be started: " + SystemText(shell.Error());
        return false;
    }
    if (shell.Wait(kSettleMs)) {
        why = L"ended at once, with " + DescribeExitCode(shell.ExitCode());
        return false;
    }
    return true; // not watched further: only started
}

std::wstring LocalTime()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t text[32];
    _snwprintf(text, std::size(text), L"%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
               now.wMinute, now.wSecond);
    return text;
}

Value TextOrAbsent(const std::wstring &text)
{
    return text.empty() ? Value{} : registry::TextValue(text);
}

} // namespace

void WriteRecord(const Installation &installation, const Record &record)
{
    UniqueKey key;
    if (registry::OpenKey(HKEY_CURRENT_USER, kRecordKey, KEY_SET_VALUE, true, key) != ERROR_SUCCESS)
        return;
    registry::Write(key.get(), kRecordTime, registry::TextValue(LocalTime()));
    registry::Write(key.get(), kRecordWhat, registry::TextValue(record.what));
    registry::Write(key.get(), kRecordExitCode, registry::NumberValue(record.exitCode));
    registry::Write(key.get(), kRecordFault, TextOrAbsent(record.fault));
    registry::Write(key.get(), kRecordDump, TextOrAbsent(record.dump));
    registry::Write(key.get(), kRecordStarted, TextOrAbsent(record.started));
    registry::Write(key.get(), kRecordNotStarted, TextOrAbsent(record.notStarted));
    registry::Write(key.get(), kRecordLaunches, registry::NumberValue(record.launches));
    registry::Write(key.get(), kRecordFolder, registry::TextValue(installation.Folder()));
}

void FallBack(const Installation &installation, Record record)
{
    for (const std::wstring &shell : PreviousShells(installation)) {
        std::wstring why;
        if (StartPrevious(shell, why)) {
            record.started = shell;
            break;
        }
        record.notStarted.append(record.notStarted.empty() ? L"" : L"; ").append(shell).append(L" ").append(why);
    }
    WriteRecord(installation, record);
    std::wstring notice = L"Your shell could not start: " + record.what + L".\r\n\r\n";
    if (!record.notStarted.empty())
        notice += L"Not started: " + record.notStarted + L".\r\n\r\n";
    notice += record.started.empty() ? L"No other shell could be started either."
                                     : L"Your previous shell was started instead: " + record.started + L".";
    notice += L"\r\n\r\n\"shellctl status\" in " + installation.Folder() + L" has the details.";
    BoxEnd end;
    end.limitMs = kNoticeMs;
    ShowBox(notice, kNoticeCaption, kNoticeStyle, end);
}
