// The checker's side: one host process per library, its records collected
// under a watchdog, and the results printed as a table or as JSON.

#include "checks.h"

#include "UniqueHandle.h"

#define JSON_NOEXCEPTION
#include <nlohmann/json.hpp>

#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace {

constexpr int kExitPass = 0;
constexpr int kExitFail = 1;
constexpr int kExitUnloadable = 2;
constexpr DWORD kIdleLimitMs = 30000; // between steps: counting, waiting for threads
constexpr DWORD kStepGraceMs = 5000;  // beyond a step's own limit, before the host counts as hung
constexpr DWORD kPollMs = 20;
constexpr DWORD kFirstExceptionCode = 0xC0000000;

struct LibraryReport {
    std::string library;
    std::vector<CheckResult> rows;
    bool unloadable = false;
};

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

Verdict ParseVerdict(const std::string &name)
{
    for (Verdict verdict : {Verdict::Pass, Verdict::Fail})
        if (name == VerdictName(verdict))
            return verdict;
    return Verdict::NotObservable;
}

std::string EntryField(const std::string &field)
{
    return field == kNoEntry ? std::string() : field;
}

// What the host reported, and where it was when it stopped reporting.
class Collector {
public:
    explicit Collector(LibraryReport &report) : report_(report) {}

    void Take(const std::string &line)
    {
        const auto fields = SplitFields(line);
        if (fields[0].size() != 1)
            return;
        switch (fields[0][0]) {
        case kRecordPlan:
            if (fields.size() >= 3)
                Row(EntryField(fields[1]), fields[2]);
            break;
        case kRecordStep:
            if (fields.size() >= 4) {
                openEntry_ = EntryField(fields[1]);
                openCheck_ = fields[2];
                limitMs_ = static_cast<DWORD>(strtoul(fields[3].c_str(), nullptr, 10));
            }
            break;
        case kRecordResult:
            if (fields.size() >= 6) {
                CheckResult &row = Row(EntryField(fields[1]), fields[2]);
                row.verdict = ParseVerdict(fields[3]);
                if (fields[4] != "-")
                    row.value = strtoll(fields[4].c_str(), nullptr, 10);
                row.detail = fields[5];
                if (row.entry == openEntry_ && row.check == openCheck_)
                    limitMs_ = kIdleLimitMs;
            }
            break;
        case kRecordCrash:
            crash_ = fields.size() >= 2 ? fields[1] : "crashed";
            break;
        case kRecordUnloadable:
            report_.unloadable = true;
            Row("", "export") = {"", "export", Verdict::Fail, std::nullopt,
                                 "cannot be loaded: " + (fields.size() >= 2 ? fields[1] : std::string())};
            break;
        case kRecordDone:
            done_ = true;
            break;
        }
    }

    DWORD LimitMs() const { return limitMs_ + kStepGraceMs; }

    // The host is gone (exitCode) or was ended after a hang: every check it
    // did not report gets its verdict from that.
    void Finish(DWORD exitCode, bool hung)
    {
        if (done_ || report_.unloadable)
            return FillMissing("not reached");
        const std::string during = openCheck_.empty() ? "" : " during " + Describe(openEntry_, openCheck_);
        if (hung) {
            CheckResult &open = Row(openEntry_, openCheck_);
            open.verdict = Verdict::Fail;
            open.detail = "did not return within " + std::to_string(limitMs_) + " ms";
        }
        // Taken only now: a row added above may have moved every row.
        CheckResult &crash = Row("", "crash");
        crash.value.reset();
        if (hung) {
            crash.verdict = Verdict::NotObservable;
            crash.detail = "the host was ended after it hung" + during;
        } else {
            crash.verdict = Verdict::Fail;
            char code[64];
            _snprintf(code, sizeof(code), "0x%08lX", exitCode);
            if (!crash_.empty())
                crash.detail = crash_;
            else if (exitCode >= kFirstExceptionCode)
                crash.detail = std::string("ended by exception ") + code + during;
            else
                crash.detail = "the process ended with exit code " + std::to_string(exitCode) + during +
                               ": the library called ExitProcess or TerminateProcess";
        }
        FillMissing(hung ? "not reached: the host hung" : "not reached: the host ended early");
    }

private:
    static std::string Describe(const std::string &entry, const std::string &check)
    {
        return entry.empty() ? check : entry + " " + check;
    }

    CheckResult &Row(const std::string &entry, const std::string &check)
    {
        for (auto &row : report_.rows) {
            if (row.entry == entry && row.check == check)
                return row;
        }
        report_.rows.push_back({entry, check, Verdict::NotObservable, std::nullopt, ""});
        return report_.rows.back();
    }

    void FillMissing(const std::string &why)
    {
        for (auto &row : report_.rows) {
            if (row.verdict == Verdict::NotObservable && row.detail.empty())
                row.detail = why;
        }
    }

    LibraryReport &report_;
    std::string openEntry_, openCheck_, crash_;
    DWORD limitMs_ = kIdleLimitMs;
    bool done_ = false;
};

std::string Quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

std::string FullPath(const std::string &path)
{
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    return length > 0 && length < sizeof(full) ? std::string(full, length) : path;
}

LibraryReport CheckLibrary(const Options &options, const std::string &library)
{
    LibraryReport report{library, {}, false};
    Collector collector(report);

    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        collector.Take(std::string(1, kRecordUnloadable) + "\tno pipe to a host process");
        return report;
    }
    UniqueHandle reader(readEnd), writer(writeEnd);
    SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
    // The library's own output would mix with the records: it goes nowhere.
    UniqueFile nul(CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr));

    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof(self));
    std::string commandLine = Quoted(self) + " --host " +
                              std::to_string(reinterpret_cast<ULONG_PTR>(writer.get())) + " --ready-timeout " +
                              std::to_string(options.readyTimeoutMs);
    if (!options.configFile.empty())
        commandLine += " --config " + Quoted(options.configFile);
    if (!options.installDir.empty())
        commandLine += " --install-dir " + Quoted(options.installDir);
    commandLine += " " + Quoted(FullPath(library));

    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.get();
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        collector.Take(std::string(1, kRecordUnloadable) + "\tthe host process could not be started");
        return report;
    }
    UniqueHandle child(process.hProcess), childThread(process.hThread);
    writer.reset(); // the pipe ends when the host does

    std::string pending;
    DWORD lastRecord = GetTickCount();
    bool hung = false, ended = false;
    while (!ended) {
        ended = WaitForSingleObject(child.get(), kPollMs) == WAIT_OBJECT_0;
        DWORD available = 0;
        while (PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char buffer[4096];
            DWORD read = 0;
            if (!ReadFile(reader.get(), buffer, sizeof(buffer), &read, nullptr) || read == 0)
                break;
            pending.append(buffer, read);
            for (size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
                collector.Take(pending.substr(0, newline));
                pending.erase(0, newline + 1);
                lastRecord = GetTickCount();
            }
        }
        if (!ended && GetTickCount() - lastRecord > collector.LimitMs()) {
            TerminateProcess(child.get(), 1);
            WaitForSingleObject(child.get(), INFINITE);
            hung = true;
            ended = true;
        }
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(child.get(), &exitCode);
    collector.Finish(exitCode, hung);
    return report;
}

bool IsTimeCheck(const std::string &check)
{
    return check == "ready" || check == "stop" || check == "config-fill" || check == "config-free";
}

void PrintTable(const std::vector<LibraryReport> &reports)
{
    for (const auto &report : reports) {
        int counts[3] = {};
        printf("%s\n", report.library.c_str());
        printf("  %-18s %-19s %-15s %8s  %s\n", "ENTRY", "CHECK", "VERDICT", "VALUE", "DETAIL");
        for (const auto &row : report.rows) {
            ++counts[static_cast<int>(row.verdict)];
            char value[32] = "";
            if (row.value)
                _snprintf(value, sizeof(value), IsTimeCheck(row.check) ? "%lld ms" : "%lld", *row.value);
            const char *verdict = row.verdict == Verdict::Pass ? "pass"
                                  : row.verdict == Verdict::Fail ? "FAIL"
                                                                 : "not observable";
            char line[1024];
            int length = _snprintf(line, sizeof(line) - 1, "  %-18s %-19s %-15s %8s  %s",
                                   row.entry.empty() ? "(library)" : row.entry.c_str(), row.check.c_str(), verdict,
                                   value, row.detail.c_str());
            length = length < 0 ? static_cast<int>(sizeof(line)) - 1 : length;
            while (length > 0 && line[length - 1] == ' ')
                --length;
            printf("%.*s\n", length, line);
        }
        printf("  %d passed, %d failed, %d not observable\n\n", counts[0], counts[1], counts[2]);
    }
}

// JSON text is UTF-8; paths and details are in the ANSI code page.
std::string Utf8(const std::string &ansi)
{
    const int wide = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), text.data(), wide);
    const int narrow = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(narrow), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, utf8.data(), narrow, nullptr, nullptr);
    return utf8;
}

void PrintJson(const std::vector<LibraryReport> &reports)
{
    using Json = nlohmann::ordered_json; // the keys in the documented order
    Json results = Json::array();
    for (const auto &report : reports) {
        for (const auto &row : report.rows) {
            results.push_back({
                {"library", Utf8(report.library)},
                {"entry", row.entry.empty() ? Json(nullptr) : Json(row.entry)},
                {"check", row.check},
                {"verdict", VerdictName(row.verdict)},
                {"value", row.value ? Json(*row.value) : Json(nullptr)},
                {"detail", Utf8(row.detail)},
            });
        }
    }
    const std::string text = results.dump(2, ' ', false, Json::error_handler_t::replace);
    printf("%s\n", text.c_str());
}

} // namespace

const char *VerdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Pass: return "pass";
    case Verdict::Fail: return "fail";
    case Verdict::NotObservable: break;
    }
    return "not-observable";
}

int RunChecks(const Options &options)
{
    std::vector<LibraryReport> reports;
    for (const auto &library : options.libraries)
        reports.push_back(CheckLibrary(options, library));

    if (options.json)
        PrintJson(reports);
    else
        PrintTable(reports);

    int exitCode = kExitPass;
    for (const auto &report : reports) {
        if (report.unloadable) {
            fprintf(stderr, "componentcheck: %s %s\n", report.library.c_str(), report.rows.front().detail.c_str());
            exitCode = kExitUnloadable;
        }
        const bool failed = std::any_of(report.rows.begin(), report.rows.end(),
                                        [](const CheckResult &row) { return row.verdict == Verdict::Fail; });
        if (failed && exitCode == kExitPass)
            exitCode = kExitFail;
    }
    return exitCode;
}
