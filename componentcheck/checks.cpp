// The table of checks, the host's records, and what a library's exports say.

#include "checks.h"

#include "ascii.h"

#define JSON_NOEXCEPTION
#include <nlohmann/json.hpp>

#include <algorithm>

using Json = nlohmann::json;

std::vector<Check> ChecksOf(const contract::Entry &entry)
{
    using contract::Call;
    switch (entry.call) {
    case Call::MainThread:
        return {entry.name == std::string_view(contract::kFillBuffer) ? Check::ConfigFill : Check::ConfigFree};
    case Call::Startup:
        return {Check::Ready, Check::SingleSignal, Check::Stop};
    case Call::Worker:
        break;
    }
    return {Check::Ready, Check::SingleSignal, Check::QueueAtSignal, Check::FailBeforeSignal, Check::Stop};
}

namespace {

// The index of the name in a table of names; false for none.
template <typename Table, typename Name>
bool Find(const Table &table, std::string_view name, Name name_of, size_t &index)
{
    for (index = 0; index < std::size(table); ++index) {
        if (name == name_of(table[index]))
            return true;
    }
    return false;
}

std::string Text(const Json &object, const char *key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

} // namespace

std::string Encode(const Record &record)
{
    const CheckResult &result = record.result;
    Json line = {{"k", std::string(1, static_cast<char>(record.kind))},
                 {"e", result.entry},
                 {"c", CheckName(result.check)},
                 {"v", VerdictName(result.verdict)},
                 {"l", record.limitMs},
                 {"d", record.kind == RecordKind::Result ? result.detail : record.detail}};
    if (result.value)
        line["n"] = *result.value;
    return line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool Decode(const std::string &line, Record &record)
{
    const Json object = Json::parse(line, nullptr, false);
    const std::string kind = object.is_object() ? Text(object, "k") : std::string();
    size_t check = 0, verdict = 0;
    if (kind.size() != 1 || std::string_view("SRCLOE").find(kind[0]) == std::string_view::npos ||
        !Find(kChecks, Text(object, "c"), [](const CheckInfo &info) { return info.name; }, check) ||
        !Find(kVerdictNames, Text(object, "v"), [](const char *name) { return name; }, verdict))
        return false;
    record = Record{};
    record.kind = static_cast<RecordKind>(kind[0]);
    record.result = {Text(object, "e"), static_cast<Check>(check), static_cast<Verdict>(verdict), std::nullopt, ""};
    record.detail = Text(object, "d");
    if (record.kind == RecordKind::Result)
        record.result.detail = record.detail;
    if (const auto value = object.find("n"); value != object.end() && value->is_number_integer())
        record.result.value = value->get<long long>();
    if (const auto limit = object.find("l"); limit != object.end() && limit->is_number_unsigned())
        record.limitMs = limit->get<DWORD>();
    return true;
}

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

// The edits (letters put in, left out or changed, any case) between two names.
size_t Distance(std::string_view a, std::string_view b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t kept = diagonal + (ascii::ToLower(a[i - 1]) == ascii::ToLower(b[j - 1]) ? 0 : 1);
            diagonal = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, kept});
        }
    }
    return row[b.size()];
}

} // namespace

bool Exports::Plain(const char *name) const
{
    return std::find(names.begin(), names.end(), name) != names.end();
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

std::string Exports::NearMisses() const
{
    constexpr size_t kMaxEdits = 2;
    std::string said;
    for (const auto &exported : names) {
        for (const auto &entry : contract::kEntries) {
            if (exported != entry.name && !IsDecorated(exported, entry.name) && !Plain(entry.name) &&
                Distance(exported, entry.name) <= kMaxEdits)
                said += (said.empty() ? "" : "; ") + exported + ": did you mean " + entry.name + "?";
        }
    }
    return said;
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
