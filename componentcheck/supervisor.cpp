// The supervisor: starts a host process for one library, reads its records
// under a watchdog, and turns a crash, a hang or an early exit into verdicts.

#include "supervisor.h"

#include "records.h"
#include "roles.h"

#include "Paths.h"
#include "Text.h"
#include "SystemText.h"
#include "UniqueHandle.h"

#include <stdio.h>

namespace {

constexpr DWORD kIdleLimitMs = 30000; // between steps: counting, waiting for threads
constexpr DWORD kStepGraceMs = 5000;  // beyond a step's own limit, before the host counts as hung
constexpr DWORD kPollMs = 20;
constexpr DWORD kFirstExceptionCode = 0xC0000000;
constexpr DWORD kRetryStartMs = 250;

// What the host reported into the rows planned for it, and where it was
// when it stopped reporting.
class Collector {
public:
    explicit Collector(LibraryReport &report) : report_(report) {}

    void Take(const std::string &line)
    {
        Record record;
        if (!Decode(line, record))
            return;
        const CheckResult &result = record.result;
        switch (record.kind) {
        case RecordKind::Step:
            openEntry_ = result.entry;
            openCheck_ = result.check;
            stepOpen_ = true;
            limitMs_ = record.limitMs;
            break;
        case RecordKind::Result:
            reported_ = true;
            if (CheckResult *row = Row(result.entry, result.check))
                *row = result;
            if (stepOpen_ && result.entry == openEntry_ && result.check == openCheck_) {
                stepOpen_ = false;
                limitMs_ = kIdleLimitMs;
            }
            break;
        case RecordKind::Crash:
            crash_ = record.detail.empty() ? "crashed" : record.detail;
            break;
        case RecordKind::Unloadable:
            // Nothing of it ran: the one verdict is that it cannot be loaded.
            report_.unloadable = true;
            report_.rows = {{"", Check::Load, Verdict::Fail, std::nullopt, "cannot be loaded: " + record.detail}};
            break;
        case RecordKind::Done:
            done_ = true;
            limitMs_ = 0; // all is said: the host has only to exit
            break;
        }
    }

    void Unloadable(const std::string &why) { Take(Encode({RecordKind::Unloadable, {}, 0, why})); }

    DWORD LimitMs() const { return limitMs_ + kStepGraceMs; }

    // The host is gone (exitCode) or was ended after a hang: every check it
    // did not report gets its verdict from that.
    void Finish(DWORD exitCode, bool hung)
    {
        if (done_ || report_.unloadable)
            return FillMissing("not reached");
        const std::string during = stepOpen_ ? " during " + Describe(openEntry_, openCheck_) : "";
        if (stepOpen_ && openCheck_ == Check::Load && !reported_) {
            // Its first load, on the main thread, never returned: that and
            // the end are all there is to say.
            const CheckResult load{"", Check::Load, Verdict::NotObservable, std::nullopt, ""};
            const CheckResult crash{"", Check::Crash, Verdict::NotObservable, std::nullopt, ""};
            report_.rows = hung ? std::vector<CheckResult>{load, crash} : std::vector<CheckResult>{crash};
        }
        if (CheckResult *open = hung && stepOpen_ ? Row(openEntry_, openCheck_) : nullptr) {
            open->verdict = Verdict::Fail;
            open->detail = "did not return within " + std::to_string(limitMs_) + " ms";
            if (openCheck_ == Check::Load)
                open->detail = "its DllMain " + open->detail +
                               ": loading it hangs the thread that loads it, and the shell with it";
        }
        CheckResult &crash = *Row("", Check::Crash);
        crash.value.reset();
        if (hung) {
            crash.verdict = Verdict::NotObservable;
            crash.detail = "the host was ended after it hung" + during;
        } else {
            crash.verdict = Verdict::Fail;
            char code[16];
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
    static std::string Describe(const std::string &entry, Check check)
    {
        return entry.empty() ? CheckName(check) : entry + " " + CheckName(check);
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
    std::string openEntry_, crash_;
    Check openCheck_ = Check::Export;
    bool stepOpen_ = false;
    DWORD limitMs_ = kIdleLimitMs;
    bool done_ = false;
    bool reported_ = false; // a result came
};

std::string Quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

std::string FullPath(const std::string &path)
{
    const std::wstring full = paths::Full(text::FromCodePage(path));
    std::string narrow;
    return full.empty() || !text::ToCodePage(full, narrow) ? path : narrow;
}

std::string HostCommandLine(const Options &options, const char *self, HANDLE writer, const std::string &library)
{
    std::string commandLine = Quoted(self) + " --host " + std::to_string(reinterpret_cast<ULONG_PTR>(writer)) +
                              " --ready-timeout " + std::to_string(options.readyTimeoutMs);
    if (!options.configFile.empty())
        commandLine += " --config " + Quoted(options.configFile);
    if (!options.installDir.empty())
        commandLine += " --install-dir " + Quoted(options.installDir);
    return commandLine + " " + Quoted(FullPath(library));
}

} // namespace

LibraryReport CheckLibrary(const Options &options, const std::string &library)
{
    // Planned from the file, never run here; one the host cannot read
    // either is reported unloadable by it.
    Exports exports;
    DWORD error = ERROR_SUCCESS;
    ReadExports(FullPath(library), exports, error);
    LibraryReport report{library, PlannedRows(exports), false};
    Collector collector(report);

    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    UniqueHandle reader, writer;
    if (!CreatePipe(reader.put(), writer.put(), &inherit, 0)) {
        collector.Unloadable("no pipe to a host process");
        return report;
    }
    SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
    // The library's own output would mix with the records: it goes nowhere.
    UniqueFile nul(CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr));

    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof(self));
    std::string commandLine = HostCommandLine(options, self, writer.get(), library);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.get();
    PROCESS_INFORMATION process{};
    const auto start = [&] {
        return CreateProcessA(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                              &process) != FALSE;
    };
    // Once more after a moment: under load, Wine's process creation has been
    // seen to fail once and then work.
    if (!start() && (Sleep(kRetryStartMs), !start())) {
        collector.Unloadable("the host process could not be started: " + text::Utf8(SystemText(GetLastError(), text::FromCodePage(self))));
        return report;
    }
    UniqueHandle child(process.hProcess), childThread(process.hThread);
    writer.reset(); // the pipe ends when the host does
    // Should the checker itself be ended, its host goes with it.
    const UniqueHandle job(CreateJobObjectA(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job && SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)))
        AssignProcessToJobObject(job.get(), child.get());

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
