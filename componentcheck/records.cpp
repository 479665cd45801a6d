// Encoding and decoding the host's records.

#include "records.h"

#include <stdlib.h>

namespace {

constexpr char kNoEntry[] = "-";
constexpr char kNoValue[] = "-";
constexpr size_t kMaxDetail = 1024;

// One field: no tab or line break inside it.
std::string Field(std::string text, size_t limit = std::string::npos)
{
    if (text.size() > limit)
        text.resize(limit);
    for (char &c : text) {
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    }
    return text;
}

std::vector<std::string> SplitFields(const std::string &line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

bool DecodeVerdict(const std::string &name, Verdict &verdict)
{
    for (Verdict v : {Verdict::Pass, Verdict::Fail, Verdict::Warn, Verdict::NotObservable}) {
        if (name == VerdictName(v)) {
            verdict = v;
            return true;
        }
    }
    return false;
}

} // namespace

std::string Encode(const Record &record)
{
    std::string line(1, static_cast<char>(record.kind));
    const CheckResult &result = record.result;
    const std::string entryAndCheck =
        "\t" + (result.entry.empty() ? std::string(kNoEntry) : Field(result.entry)) + "\t" + CheckName(result.check);
    switch (record.kind) {
    case RecordKind::Step:
        line += entryAndCheck + "\t" + std::to_string(record.limitMs);
        break;
    case RecordKind::Result:
        line += entryAndCheck + "\t" + VerdictName(result.verdict) + "\t" +
                (result.value ? std::to_string(*result.value) : std::string(kNoValue)) + "\t" +
                Field(result.detail, kMaxDetail);
        break;
    case RecordKind::Crash:
    case RecordKind::Unloadable:
        line += "\t" + Field(record.detail, kMaxDetail);
        break;
    case RecordKind::Done:
        break;
    }
    return line + "\n";
}

bool Decode(const std::string &line, Record &record)
{
    const auto fields = SplitFields(line);
    if (fields[0].size() != 1)
        return false;
    record = Record{};
    record.kind = static_cast<RecordKind>(fields[0][0]);
    CheckResult &result = record.result;
    const auto entryAndCheck = [&] {
        result.entry = fields[1] == kNoEntry ? std::string() : fields[1];
        return FindCheck(fields[2], result.check);
    };
    switch (record.kind) {
    case RecordKind::Step:
        if (fields.size() != 4 || !entryAndCheck())
            return false;
        record.limitMs = static_cast<DWORD>(strtoul(fields[3].c_str(), nullptr, 10));
        return true;
    case RecordKind::Result:
        if (fields.size() != 6 || !entryAndCheck() || !DecodeVerdict(fields[3], result.verdict))
            return false;
        if (fields[4] != kNoValue)
            result.value = strtoll(fields[4].c_str(), nullptr, 10);
        result.detail = fields[5];
        return true;
    case RecordKind::Crash:
    case RecordKind::Unloadable:
        record.detail = fields.size() >= 2 ? fields[1] : std::string();
        return true;
    case RecordKind::Done:
        return fields.size() == 1;
    }
    return false;
}
