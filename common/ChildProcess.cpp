#include "ChildProcess.h"

#include <utility>

namespace {

constexpr DWORD kReadChunk = 4096;
constexpr DWORD kPollMs = 20; // how often captured output is read while waiting

UniqueHandle JobEndingWithParent()
{
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)))
        job.reset();
    return job;
}

} // namespace

bool ChildProcess::Start(std::wstring commandLine, const ChildOptions &options)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    UniqueHandle writer;
    UniqueFile nul;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (options.capture) {
        if (!CreatePipe(output_.put(), writer.put(), &inherit, 0)) {
            error_ = GetLastError();
            return false;
        }
        SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
        nul.reset(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                              nullptr));
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nul.get();
        startup.hStdOutput = writer.get();
        startup.hStdError = options.captureErrors ? writer.get() : GetStdHandle(STD_ERROR_HANDLE);
    } else if (options.quiet) {
        nul.reset(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr));
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.get();
    }
    const bool inherits = options.capture || options.quiet || options.inheritHandles;
    const DWORD flags = options.noWindow ? CREATE_NO_WINDOW : 0;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(options.application, commandLine.data(), nullptr, nullptr, inherits, flags, nullptr,
                        options.workDir, &startup, &process)) {
        error_ = GetLastError();
        output_.reset();
        return false;
    }
    process_.reset(process.hProcess);
    thread_.reset(process.hThread);
    id_ = process.dwProcessId;
    if (options.endWithParent) {
        job_ = JobEndingWithParent();
        if (job_)
            AssignProcessToJobObject(job_.get(), process_.get());
    }
    return true; // writer closes here: the pipe ends when the child does
}

void ChildProcess::Drain()
{
    DWORD available = 0, read = 0;
    char buffer[kReadChunk];
    while (output_ && PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ReadFile(output_.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        read_.append(buffer, read);
}

bool ChildProcess::Wait(DWORD timeoutMs)
{
    if (!process_)
        return true;
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD waited = GetTickCount() - start;
        const DWORD left = timeoutMs == INFINITE ? INFINITE : waited < timeoutMs ? timeoutMs - waited : 0;
        const DWORD slice = output_ ? (left < kPollMs ? left : kPollMs) : left;
        const bool ended = WaitForSingleObject(process_.get(), slice) == WAIT_OBJECT_0;
        Drain();
        if (ended)
            return true;
        if (left != INFINITE && left <= slice)
            return false;
    }
}

std::string ChildProcess::TakeOutput()
{
    Drain();
    return std::exchange(read_, std::string());
}

DWORD ChildProcess::ExitCode() const
{
    DWORD code = STILL_ACTIVE;
    if (process_)
        GetExitCodeProcess(process_.get(), &code);
    return code;
}

void ChildProcess::Terminate(UINT exitCode)
{
    if (!process_)
        return;
    TerminateProcess(process_.get(), exitCode);
    WaitForSingleObject(process_.get(), INFINITE);
}
