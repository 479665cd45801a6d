#include "Registration.h"

#include "Paths.h"
#include "UniqueHandle.h"

#include <tlhelp32.h>

#include <iterator>

namespace registration {

namespace {

// The machine's own view of its keys, also from a 32-bit program on 64-bit
// Windows: the log-on reads the 64-bit Winlogon key, and a 32-bit and a
// 64-bit shellctl must see the same records. Ignored where there is one view.
constexpr REGSAM kView = KEY_WOW64_64KEY;

constexpr wchar_t kFolderValue[] = L"Folder";
constexpr wchar_t kPreviousValue[] = L"PreviousShell";
// Written beside an absent PreviousShell by the first shellctl that kept one.
constexpr wchar_t kOlderSavedFlag[] = L"PreviousShellSaved";

LONG Open(Hive hive, const wchar_t *path, REGSAM access, bool create, UniqueKey &key)
{
    return registry::OpenKey(RootOf(hive), path, access | kView, create, key);
}

// FNV-1a over the folder's upper-cased name: the same installation gives
// the same key in every locale and in both views.
std::wstring IdOf(const std::wstring &folder)
{
    std::wstring upper(folder.size(), L'\0');
    if (!folder.empty())
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, folder.c_str(), static_cast<int>(folder.size()),
                      upper.data(), static_cast<int>(upper.size()), nullptr, nullptr, 0);
    constexpr unsigned long long kOffset = 14695981039346656037ULL, kPrime = 1099511628211ULL;
    unsigned long long hash = kOffset;
    for (wchar_t c : upper) {
        hash = (hash ^ (c & 0xFF)) * kPrime;
        hash = (hash ^ (c >> 8)) * kPrime;
    }
    wchar_t id[17];
    _snwprintf(id, std::size(id), L"%016llX", hash);
    id[16] = L'\0';
    return id;
}

bool HasExtension(const std::wstring &name)
{
    const size_t slash = name.find_last_of(L"\\/");
    return name.find(L'.', slash == std::wstring::npos ? 0 : slash) != std::wstring::npos;
}

bool IsAbsolute(const std::wstring &name)
{
    return (name.size() >= 3 && name[1] == L':' && (name[2] == L'\\' || name[2] == L'/')) ||
           name.compare(0, 2, L"\\\\") == 0;
}

// Where the log-on finds a program: its working and application directory
// is the system directory.
std::wstring Located(const std::wstring &name)
{
    if (name.empty())
        return L"";
    if (name.find_first_of(L"\\/:") == std::wstring::npos) {
        std::wstring searched = paths::SystemDir() + L";" + paths::WindowsDir();
        const std::wstring path = Expanded(L"%PATH%");
        if (path != L"%PATH%")
            searched += L";" + path;
        wchar_t found[MAX_PATH];
        const DWORD length =
            SearchPathW(searched.c_str(), name.c_str(), nullptr, static_cast<DWORD>(std::size(found)), found, nullptr);
        return length > 0 && length < std::size(found) ? paths::Long(found) : L"";
    }
    return paths::Long(IsAbsolute(name) ? name : paths::Join(paths::SystemDir(), name));
}

} // namespace

HKEY RootOf(Hive hive)
{
    return hive == Hive::User ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

const wchar_t *NameOf(Hive hive)
{
    return hive == Hive::User ? L"HKEY_CURRENT_USER" : L"HKEY_LOCAL_MACHINE";
}

LONG ReadShell(Hive hive, registry::Value &value)
{
    value = registry::Value{};
    UniqueKey winlogon;
    const LONG error = Open(hive, kWinlogonKey, KEY_QUERY_VALUE, false, winlogon);
    if (error == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    return error != ERROR_SUCCESS ? error : registry::Read(winlogon.get(), kShellValue, value);
}

LONG WriteShell(Hive hive, const registry::Value &value)
{
    UniqueKey winlogon;
    const LONG error = Open(hive, kWinlogonKey, KEY_QUERY_VALUE | KEY_SET_VALUE, value.present, winlogon);
    if (error == ERROR_FILE_NOT_FOUND && !value.present)
        return ERROR_SUCCESS; // no key, no value: absent already
    return error != ERROR_SUCCESS ? error : registry::Write(winlogon.get(), kShellValue, value);
}

std::wstring PolicyShell(Hive &from)
{
    for (Hive hive : kHives) {
        UniqueKey policy;
        registry::Value shell;
        if (Open(hive, kPolicyKey, KEY_QUERY_VALUE, false, policy) == ERROR_SUCCESS &&
            registry::Read(policy.get(), kShellValue, shell) == ERROR_SUCCESS && !shell.Text().empty()) {
            from = hive;
            return shell.Text();
        }
    }
    return L"";
}

std::wstring Expanded(const std::wstring &command)
{
    std::wstring expanded(command.size() + 1, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) { // the environment may grow between two calls
        const DWORD length =
            ExpandEnvironmentStringsW(command.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
        if (length == 0)
            return command;
        if (length <= expanded.size()) {
            expanded.resize(length - 1); // it counts the terminator
            return expanded;
        }
        expanded.assign(length, L'\0');
    }
    return command;
}

std::vector<std::wstring> ProgramCandidates(const std::wstring &command)
{
    const std::wstring line = Expanded(command);
    const size_t start = line.find_first_not_of(L" \t");
    std::vector<std::wstring> names;
    if (start == std::wstring::npos)
        return names;
    if (line[start] == L'"') {
        const size_t end = line.find(L'"', start + 1);
        names.push_back(line.substr(start + 1, end == std::wstring::npos ? end : end - start - 1));
    } else {
        // "C:\Program Files\A B\x.exe" unquoted: C:\Program, then C:\Program Files\A, ...
        for (size_t blank = line.find_first_of(L" \t", start);; blank = line.find_first_of(L" \t", blank + 1)) {
            names.push_back(line.substr(start, blank == std::wstring::npos ? blank : blank - start));
            if (blank == std::wstring::npos)
                break;
        }
    }
    std::vector<std::wstring> candidates;
    for (std::wstring &name : names) {
        if (!HasExtension(name))
            name += L".exe";
        std::wstring path = Located(name);
        if (!path.empty())
            candidates.push_back(std::move(path));
    }
    return candidates;
}

std::wstring ProgramOf(const std::wstring &command)
{
    for (const std::wstring &candidate : ProgramCandidates(command)) {
        if (paths::FileExists(candidate))
            return candidate;
    }
    return L"";
}

Installation::Installation(const std::wstring &folder) : folder_(paths::Long(folder))
{
    if (folder_.empty())
        folder_ = folder;
}

Installation Installation::OfThisProgram()
{
    return Installation(paths::ProgramDir());
}

std::wstring Installation::Launcher() const
{
    return paths::Join(folder_, kLauncherFile);
}

std::wstring Installation::Watcher() const
{
    return paths::Join(folder_, kWatcherFile);
}

bool Installation::Owns(const std::wstring &program) const
{
    return paths::Same(program, Launcher()) || paths::Same(program, Watcher());
}

bool Installation::StartedBy(const std::wstring &command) const
{
    const std::wstring program = ProgramOf(command);
    if (!program.empty())
        return Owns(program);
    for (const std::wstring &candidate : ProgramCandidates(command)) {
        if (Owns(candidate))
            return true;
    }
    return false;
}

bool Installation::Complete() const
{
    return paths::FileExists(Launcher()) && paths::FileExists(Watcher());
}

std::wstring Installation::RecordKey() const
{
    return std::wstring(kInstallationsKey) + L"\\" + IdOf(folder_);
}

LONG Installation::ReadSaved(Hive hive, Saved &saved) const
{
    saved = Saved{};
    UniqueKey record;
    LONG error = Open(hive, RecordKey().c_str(), KEY_QUERY_VALUE, false, record);
    if (error == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    registry::Value folder;
    if (error == ERROR_SUCCESS)
        error = registry::Read(record.get(), kFolderValue, folder);
    if (error == ERROR_SUCCESS)
        error = registry::Read(record.get(), kPreviousValue, saved.previous);
    saved.present = error == ERROR_SUCCESS && folder.present;
    return error;
}

LONG Installation::WriteSaved(Hive hive, const registry::Value &previous) const
{
    UniqueKey record;
    LONG error = Open(hive, RecordKey().c_str(), KEY_SET_VALUE, true, record);
    if (error == ERROR_SUCCESS)
        error = registry::Write(record.get(), kPreviousValue, previous);
    if (error == ERROR_SUCCESS) // last: a record without its folder is no record
        error = registry::Write(record.get(), kFolderValue, registry::TextValue(folder_));
    return error;
}

LONG Installation::ForgetSaved(Hive hive) const
{
    const HKEY root = RootOf(hive);
    const std::wstring key = RecordKey();
    UniqueKey record;
    LONG error = Open(hive, key.c_str(), KEY_SET_VALUE, false, record);
    if (error == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    // Value by value, the folder first: what is left is no record, and the
    // keys go only once nothing of anybody else's is in them.
    for (const wchar_t *value : {kFolderValue, kPreviousValue}) {
        if (error == ERROR_SUCCESS)
            error = registry::Write(record.get(), value, registry::Value{});
    }
    record.reset();
    for (const wchar_t *path : {key.c_str(), kInstallationsKey, kProductKey, kVendorKey})
        registry::DeleteKeyIfEmpty(root, path, kView);
    return error;
}

std::vector<DWORD> Installation::Launchers() const
{
    std::vector<DWORD> launchers;
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W process;
    process.dwSize = sizeof(process);
    for (BOOL ok = snapshot && Process32FirstW(snapshot.get(), &process); ok;
         ok = Process32NextW(snapshot.get(), &process)) {
        if (CompareStringOrdinal(process.szExeFile, -1, kLauncherFile, -1, TRUE) != CSTR_EQUAL)
            continue;
        DWORD theirs = 0;
        const UniqueHandle handle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.th32ProcessID));
        wchar_t image[MAX_PATH];
        DWORD length = static_cast<DWORD>(std::size(image));
        if (handle && QueryFullProcessImageNameW(handle.get(), 0, image, &length) &&
            ProcessIdToSessionId(process.th32ProcessID, &theirs) && theirs == session &&
            paths::Same(std::wstring(image, length), Launcher()))
            launchers.push_back(process.th32ProcessID);
    }
    return launchers;
}

std::wstring Installation::SessionObjectName(const wchar_t *what) const
{
    return std::wstring(L"Local\\Brevant ") + what + L" " + IdOf(folder_);
}

std::vector<Installation> Recorded(Hive hive)
{
    std::vector<Installation> found;
    for (const std::wstring &id : registry::SubkeysOf(RootOf(hive), kInstallationsKey, kView)) {
        UniqueKey record;
        registry::Value folder;
        const std::wstring key = std::wstring(kInstallationsKey) + L"\\" + id;
        if (Open(hive, key.c_str(), KEY_QUERY_VALUE, false, record) == ERROR_SUCCESS &&
            registry::Read(record.get(), kFolderValue, folder) == ERROR_SUCCESS && !folder.Text().empty())
            found.emplace_back(folder.Text());
    }
    return found;
}

namespace {

LONG Failed(PutBackResult &result, const wchar_t *what, const std::wstring &key, LONG error)
{
    result.failed = what;
    result.failedKey = key;
    return error;
}

// Installations that kept this one as their previous shell fall back to
// what this one kept instead: its files are about to go.
void Relink(const Installation &installation, Hive hive, PutBackResult &result)
{
    for (const Installation &other : Recorded(hive)) {
        Saved theirs;
        if (other.RecordKey() == installation.RecordKey() || other.ReadSaved(hive, theirs) != ERROR_SUCCESS ||
            !theirs.present || !installation.StartedBy(theirs.previous.Text()))
            continue;
        if (other.WriteSaved(hive, result.previous) == ERROR_SUCCESS)
            result.relinked.push_back(other.Folder());
    }
}

} // namespace

LONG PutBack(const Installation &installation, Hive hive, PutBackResult &result)
{
    result = PutBackResult{};
    Saved saved, older;
    if (const LONG error = installation.ReadSaved(hive, saved))
        return Failed(result, L"cannot read", installation.RecordKey(), error);
    if (const LONG error = ReadShell(hive, result.current))
        return Failed(result, L"cannot read Shell under", kWinlogonKey, error);
    const bool ours = installation.StartedBy(result.current.Text());
    // An install by a shellctl before per-installation records kept one record for the hive.
    const bool fromOlderRecord = !saved.present && ours && ReadOlderSaved(hive, older) == ERROR_SUCCESS && older.present;
    if (fromOlderRecord)
        saved = older;
    result.saved = saved.present;
    result.previous = saved.previous;
    if (!saved.present)
        return ERROR_SUCCESS;
    if (ours) {
        if (const LONG error = WriteShell(hive, saved.previous))
            return Failed(result, L"cannot put Shell back under", kWinlogonKey, error);
        result.wasOurs = true;
    }
    Relink(installation, hive, result);
    // What was kept has served; a failure here leaves it for the next uninstall, which is harmless.
    if (const LONG error = fromOlderRecord ? ForgetOlderSaved(hive) : installation.ForgetSaved(hive))
        return Failed(result, L"put the shell back, but cannot clear", installation.RecordKey(), error);
    return ERROR_SUCCESS;
}

LONG ReadOlderSaved(Hive hive, Saved &saved)
{
    saved = Saved{};
    UniqueKey product;
    // As that shellctl wrote it: in the program's own view.
    LONG error = registry::OpenKey(RootOf(hive), kProductKey, KEY_QUERY_VALUE, false, product);
    if (error == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    registry::Value previous, flag;
    if (error == ERROR_SUCCESS)
        error = registry::Read(product.get(), kPreviousValue, previous);
    if (error == ERROR_SUCCESS)
        error = registry::Read(product.get(), kOlderSavedFlag, flag);
    if (error != ERROR_SUCCESS)
        return error;
    saved.present = previous.present || flag.present;
    // "There was none": PreviousShell absent beside the flag, or, without
    // the flag, PreviousShell as an empty REG_NONE.
    const bool none = !flag.present && previous.type == REG_NONE && previous.data.empty();
    if (previous.present && !none)
        saved.previous = previous;
    return ERROR_SUCCESS;
}

LONG ForgetOlderSaved(Hive hive)
{
    UniqueKey product;
    LONG error = registry::OpenKey(RootOf(hive), kProductKey, KEY_SET_VALUE, false, product);
    if (error == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    for (const wchar_t *value : {kOlderSavedFlag, kPreviousValue}) {
        if (error == ERROR_SUCCESS)
            error = registry::Write(product.get(), value, registry::Value{});
    }
    product.reset();
    registry::DeleteKeyIfEmpty(RootOf(hive), kProductKey);
    registry::DeleteKeyIfEmpty(RootOf(hive), kVendorKey);
    return error;
}

} // namespace registration
