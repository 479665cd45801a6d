// What the library exports, the roles that makes it play, and the checks
// each entry of a role gets.

#include "roles.h"

#include "sender.h"

#include "image.h"

namespace {

// An export that is the entry under a decorated name: __stdcall ("Name@4",
// "_Name@4"), an MSVC __cdecl underscore ("_Name"), or C++ ("?Name@@...",
// "_Z4Name...").
bool IsDecorated(const std::string &exported, const char *name)
{
    const std::string plain = name;
    const std::string itanium = "_Z" + std::to_string(plain.size()) + plain;
    return exported.rfind(plain + "@", 0) == 0 || exported.rfind("_" + plain + "@", 0) == 0 ||
           exported == "_" + plain || exported.rfind("?" + plain + "@", 0) == 0 || exported.rfind(itanium, 0) == 0;
}

} // namespace

bool Exports::Plain(const char *name) const
{
    for (const auto &exported : names) {
        if (exported == name)
            return true;
    }
    return false;
}

const char *Exports::Decorated(const char *name) const
{
    for (const auto &exported : names) {
        if (IsDecorated(exported, name))
            return exported.c_str();
    }
    return nullptr;
}

bool Exports::HasRole(contract::Role role) const
{
    for (const auto &entry : contract::kEntries) {
        if (entry.role == role && (Plain(entry.name) || Decorated(entry.name) != nullptr))
            return true;
    }
    return false;
}

bool ReadExports(const std::string &path, Exports &exports, DWORD &error)
{
    // Never run here: its DllMain must first run where the shell would run it.
    return ReadImageNames(path, true, exports.names, error);
}

std::vector<CheckResult> PlannedRows(const Exports &exports)
{
    std::vector<CheckResult> rows;
    const auto plan = [&rows](const char *entry, Check check) {
        rows.push_back({entry, check, Verdict::NotObservable, std::nullopt, ""});
    };
    for (const auto &entry : contract::kEntries) {
        if (!exports.HasRole(entry.role))
            continue;
        plan(entry.name, Check::Export);
        if (exports.Plain(entry.name)) {
            for (Check check : ChecksOf(entry))
                plan(entry.name, check);
        }
    }
    if (rows.empty())
        plan("", Check::Export);
    for (Check check : kLibraryChecks)
        plan("", check);
    return rows;
}

void CheckExports(const Exports &exports)
{
    bool anyRole = false;
    for (const auto &entry : contract::kEntries) {
        if (!exports.HasRole(entry.role))
            continue;
        anyRole = true;
        if (exports.Plain(entry.name))
            Result(entry.name, Check::Export, Verdict::Pass, nullptr, "");
        else if (const char *decorated = exports.Decorated(entry.name))
            Result(entry.name, Check::Export, Verdict::Fail, nullptr,
                   "exported only as \"%s\": name it plainly in a .def file", decorated);
        else // the shell skips a missing entry by design: a role may leave one out
            Result(entry.name, Check::Export, Verdict::Warn, nullptr, "missing: %s", entry.whenMissing);
    }
    if (!anyRole)
        Result("", Check::Export, Verdict::Fail, nullptr,
               "no contract export (SH_CFG_FillBuffer, SS_Main, ShellMain, ...): not a shell component");
}
