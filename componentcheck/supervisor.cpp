// The checker: starts a host process for each library, reads its records
// under a watchdog, turns a crash, a hang or an early exit into verdicts, and
// prints the results, as a table or as JSON, with what each library wrote.

#include "checks.h"

#include "ChildProcess.h"
#include "Exceptions.h"
#include "Paths.h"
#include "SystemText.h"
#include "Text.h"
#include "ascii.h"

#define JSON_NOEXCEPTION
#include <nlohmann/json.hpp>

#include <algorithm>
#include <utility>

namespace {

constexpr DWORD kIdleLimitMs = 30000; // between steps: counting, waiting for threads
constexpr DWORD kPollMs = 20;
constexpr DWORD kRetryStartMs = 250;
constexpr DWORD kAbortExitCode = 3; // the C runtime's, after std::terminate
// What the C++ runtime says as it ends the process over an exception nobody caught.
constexpr char kTerminateWords[] = "terminate called after throwing an instance of '";

struct LibraryReport {
    std::wstring library;
    std::vector<CheckResult> rows;
    bool unloadable = false;
    std::vector<std::pair<std::string, std::string>> output; // entry (empty: the library), line
};

// What the host reported into the rows planned for it, and where it was
// when it stopped reporting.
class Collector {
public:
    Collector(LibraryReport &report, DWORD graceMs) : report_(report), graceMs_(graceMs) {}

    void Take(const std::string &line)
    {
        Record record;
        if (!Decode(line, record))
            return;
        const CheckResult &result = record.result;
        switch (record.kind) {
        case RecordKind::Step:
            open_ = result;
            stepOpen_ = true;
            limitMs_ = record.limitMs;
            break;
        case RecordKind::Result:
            reported_ = true;
            if (CheckResult *row = Row(result.entry, result.check))
                *row = result;
            if (stepOpen_ && result.entry == open_.entry && result.check == open_.check) {
                stepOpen_ = false;
                limitMs_ = kIdleLimitMs;
            }
            break;
        case RecordKind::Crash:
            crash_ = record.detail.empty() ? "crashed" : record.detail;
            break;
        case RecordKind::Unloadable: // nothing of it ran: the one verdict is that it cannot be loaded
            report_.unloadable = true;
            report_.rows = {{"", Check::Load, Verdict::Fail, std::nullopt, "cannot be loaded: " + record.detail}};
            break;
        case RecordKind::Output:
            report_.output.emplace_back(result.entry, record.detail);
            break;
        case RecordKind::Done:
            done_ = true;
            limitMs_ = 0; // all is said: the host has only to exit
            break;
        }
    }

    void Unloadable(const std::string &why) { Take(Encode({RecordKind::Unloadable, {}, 0, why})); }
    DWORD LimitMs() const { return limitMs_ + graceMs_; }

    // The host is gone (exitCode) or was ended after a hang: every check it
    // did not report gets its verdict from that.
    void Finish(DWORD exitCode, bool hung)
    {
        if (done_ || report_.unloadable)
            return FillMissing("not reached");
        if (stepOpen_ && open_.check == Check::Load && !reported_) {
            // Its first load, on the main thread, never returned: that and the end are all there is to say.
            const CheckResult load{"", Check::Load, Verdict::NotObservable, std::nullopt, ""};
            const CheckResult crash{"", Check::Crash, Verdict::NotObservable, std::nullopt, ""};
            report_.rows = hung ? std::vector<CheckResult>{load, crash} : std::vector<CheckResult>{crash};
        }
        if (CheckResult *open = hung && stepOpen_ ? Row(open_.entry, open_.check) : nullptr) {
            open->verdict = Verdict::Fail;
            open->detail = "did not return within " + std::to_string(limitMs_) + " ms";
            if (open_.check == Check::Load)
                open->detail = "its DllMain " + open->detail +
                               ": loading it hangs the thread that loads it, and the shell with it";
        }
        CheckResult &crash = *Row("", Check::Crash);
        crash.value.reset();
        crash.verdict = hung ? Verdict::NotObservable : Verdict::Fail;
        crash.detail = hung ? "the host was ended after it hung" + During() : HowItEnded(exitCode);
        FillMissing(hung ? "not reached: the host hung" : "not reached: the host ended early");
    }

private:
    std::string During() const
    {
        if (!stepOpen_)
            return "";
        return " during " + (open_.entry.empty() ? std::string(CheckName(open_.check)) : open_.entry + " " + CheckName(open_.check));
    }

    std::string HowItEnded(DWORD exitCode) const
    {
        if (!crash_.empty())
            return crash_;
        char code[16];
        _snprintf(code, sizeof(code), "0x%08lX", exitCode);
        if (exitCode >= exceptions::kErrorSeverity)
            return std::string("ended by exception ") + code + During();
        // Where no exception record exists (a 32-bit runtime unwinds on its own), its last words name it.
        for (const auto &[entry, line] : report_.output) {
            const size_t at = line.find(kTerminateWords), end = line.rfind('\'');
            if (exitCode == kAbortExitCode && at != std::string::npos && end > at + sizeof(kTerminateWords) - 1)
                return "a C++ exception (" + line.substr(at + sizeof(kTerminateWords) - 1, end - at - sizeof(kTerminateWords) + 1) +
                       ") escaped " + (entry.empty() ? std::string("the library") : entry) +
                       ": an entry must catch what it throws";
        }
        return "the process ended with exit code " + std::to_string(exitCode) + During() +
               ": the library called ExitProcess or TerminateProcess";
    }

    // The planned row; null for a record of none (a host out of step).
    CheckResult *Row(const std::string &entry, Check check)
    {
        for (auto &row : report_.rows) {
            if (row.entry == entry && row.check == check)
                return &row;
        }
        return nullptr;
    }

    void FillMissing(const std::string &why)
    {
        for (auto &row : report_.rows) {
            if (row.verdict == Verdict::NotObservable && row.detail.empty())
                row.detail = why;
        }
    }

    LibraryReport &report_;
    const DWORD graceMs_;
    CheckResult open_;
    std::string crash_;
    bool stepOpen_ = false;
    DWORD limitMs_ = kIdleLimitMs;
    bool done_ = false;
    bool reported_ = false; // a result came
};

std::wstring Quoted(const std::wstring &text)
{
    return L"\"" + text + L"\"";
}

std::wstring HostCommandLine(const Options &options, const std::wstring &self, HANDLE report, const std::wstring &library)
{
    std::wstring commandLine = Quoted(self) + L" --host " + std::to_wstring(reinterpret_cast<ULONG_PTR>(report)) +
                               L" --ready-timeout " + std::to_wstring(options.readyTimeoutMs) + L" --call-limit " +
                               std::to_wstring(options.callLimitMs);
    if (!options.configFile.empty())
        commandLine += L" --config " + Quoted(options.configFile);
    if (!options.installDir.empty())
        commandLine += L" --install-dir " + Quoted(options.installDir);
    return commandLine + L" " + Quoted(library);
}

// Runs the library in a host process and collects what it reports.
LibraryReport CheckLibrary(const Options &options, const std::wstring &given)
{
    const std::wstring library = paths::Full(given).empty() ? given : paths::Full(given);
    // Planned from the file, never run here; one the host cannot read either is reported unloadable by it.
    Exports exports;
    DWORD error = ERROR_SUCCESS;
    ReadExports(library, exports, error);
    LibraryReport report{given, PlannedRows(exports), false, {}};
    Collector collector(report, options.callLimitMs / 2);
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    UniqueHandle reader, writer;
    if (!CreatePipe(reader.put(), writer.put(), &inherit, 0)) {
        collector.Unloadable("no pipe to a host process");
        return report;
    }
    SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
    const std::wstring self = paths::ProgramPath();
    ChildOptions host;
    host.application = self.c_str();
    host.quiet = true; // what the library writes reaches the host's own pipe, and comes as records
    host.inheritHandles = true;
    host.endWithParent = true;
    ChildProcess child;
    // Once more after a moment: under load, Wine's process creation has been seen to fail once and then work.
    if (!child.Start(HostCommandLine(options, self, writer.get(), library), host) &&
        (Sleep(kRetryStartMs), !child.Start(HostCommandLine(options, self, writer.get(), library), host))) {
        collector.Unloadable("the host process could not be started: " + text::Utf8(SystemText(child.Error(), self)));
        return report;
    }
    writer.reset(); // the pipe ends when the host does
    std::string pending;
    DWORD lastRecord = GetTickCount();
    bool hung = false, ended = false;
    while (!ended) {
        ended = child.Wait(kPollMs);
        DWORD available = 0, read = 0;
        char buffer[4096];
        while (PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
               ReadFile(reader.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
            pending.append(buffer, read);
            for (size_t newline; (newline = pending.find('\n')) != std::string::npos; pending.erase(0, newline + 1)) {
                collector.Take(pending.substr(0, newline));
                lastRecord = GetTickCount();
            }
        }
        if (!ended && GetTickCount() - lastRecord > collector.LimitMs()) {
            child.Terminate(1);
            hung = ended = true;
        }
    }
    collector.Finish(child.ExitCode(), hung);
    return report;
}

std::string Value(const CheckResult &row)
{
    if (!row.value)
        return "";
    const std::string unit = CheckUnit(row.check);
    return std::to_string(*row.value) + (unit.empty() ? "" : " " + unit);
}

void PrintTable(const std::vector<LibraryReport> &reports)
{
    for (const auto &report : reports) {
        int counts[std::size(kVerdictNames)] = {};
        text::Print(stdout, L"%ls\n  %-18hs %-19hs %-15hs %8hs  %hs\n", report.library.c_str(), "ENTRY", "CHECK", "VERDICT",
                    "VALUE", "DETAIL");
        for (const auto &row : report.rows) {
            ++counts[static_cast<size_t>(row.verdict)];
            // The table's words are the JSON's, a failure in capitals.
            std::string verdict = VerdictName(row.verdict);
            std::replace(verdict.begin(), verdict.end(), '-', ' ');
            if (row.verdict == Verdict::Fail)
                std::transform(verdict.begin(), verdict.end(), verdict.begin(), ascii::ToUpper);
            char line[64 + 18 + 19 + 15 + 8];
            _snprintf(line, sizeof(line) - 1, "  %-18s %-19s %-15s %8s  ", row.entry.empty() ? "(library)" : row.entry.c_str(),
                      CheckName(row.check), verdict.c_str(), Value(row).c_str());
            line[sizeof(line) - 1] = '\0';
            std::string text = line + row.detail;
            text.erase(text.find_last_not_of(' ') + 1);
            text::Print(stdout, L"%ls\n", text::FromUtf8(text).c_str());
        }
        text::Print(stdout, L"  %d passed, %d failed, %d warnings, %d not observable\n", counts[0], counts[1], counts[2],
                    counts[3]);
        if (!report.output.empty())
            text::Print(stdout, L"  what it wrote (OutputDebugString, standard output and error):\n");
        for (const auto &[entry, line] : report.output)
            text::Print(stdout, L"    %-18hs | %ls\n", entry.empty() ? "(library)" : entry.c_str(), text::FromUtf8(line).c_str());
        text::Print(stdout, L"\n");
    }
}

// The rows as one JSON array; what the libraries wrote goes in the table only.
void PrintJson(const std::vector<LibraryReport> &reports)
{
    using Json = nlohmann::ordered_json; // the keys in the documented order
    Json results = Json::array();
    for (const auto &report : reports) {
        for (const auto &row : report.rows) {
            results.push_back({
                {"library", text::Utf8(report.library)},
                {"entry", row.entry.empty() ? Json(nullptr) : Json(row.entry)},
                {"check", CheckName(row.check)},
                {"verdict", VerdictName(row.verdict)},
                {"value", row.value ? Json(*row.value) : Json(nullptr)},
                {"detail", row.detail},
            });
        }
    }
    text::Write(stdout, text::FromUtf8(results.dump(2, ' ', false, Json::error_handler_t::replace) + "\n"));
}

// 2 when a library cannot be loaded at all, else 1 when any check failed;
// a check that could not be observed fails nothing.
int ExitCode(const std::vector<LibraryReport> &reports)
{
    int exitCode = kExitPass;
    for (const auto &report : reports) {
        if (report.unloadable)
            exitCode = kExitUnloadable; // said once, in its row
        const bool failed = std::any_of(report.rows.begin(), report.rows.end(),
                                        [](const CheckResult &row) { return row.verdict == Verdict::Fail; });
        if (failed && exitCode == kExitPass)
            exitCode = kExitFail;
    }
    return exitCode;
}

} // namespace

int RunChecks(const Options &options)
{
    std::vector<LibraryReport> reports;
    for (const auto &library : options.libraries)
        reports.push_back(CheckLibrary(options, library));
    if (options.json)
        PrintJson(reports);
    else
        PrintTable(reports);
    return ExitCode(reports);
}
