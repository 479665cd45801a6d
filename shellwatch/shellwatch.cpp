// shellwatch: what the Shell value starts at log-on. It starts launcher.exe
// beside it and watches it: a shell that crashes after it has run a while
// is started again, a bounded number of times; a shell that cannot start,
// or keeps crashing, or hangs before it is ready (once the user agrees),
// gives way to the shell the user had before, with a notice that says why.
// It reads no file and needs nothing but its own command line, so nothing
// it fails at can leave the user at a black screen; and it never starts its
// own installation again, so it cannot start a chain of itself.
//
//   shellwatch.exe [--restarts N] [--ready-timeout S] [--min-run S] [-- LAUNCHER SWITCHES]
//   shellwatch.exe --help | /?

#include "boxes.h"
#include "fallback.h"
#include "fault.h"

#include "ChildProcess.h"
#include "Exceptions.h"
#include "HeldBy.h"
#include "Registration.h"
#include "SystemText.h"
#include "Text.h"
#include "UniqueHandle.h"
#include "WatcherOptions.h"

#include <string>
#include <string_view>

using registration::Installation;

namespace {

constexpr wchar_t kQuestionCaption[] = L"Brevant - Shell not ready";
constexpr UINT kQuestionStyle = MB_SYSTEMMODAL | MB_ICONWARNING | MB_YESNO;
constexpr UINT kEndedHung = 1; // the exit code of a hung launcher the watcher ends
constexpr DWORD kMsPerSecond = 1000;
constexpr int kStartAttempts = 2;
constexpr DWORD kStartRetryMs = 1000;
constexpr wchar_t kShellReadyEvent[] = L"ShellIsReadyEvent";

struct Settings {
    DWORD restarts = watcher::kRestarts.fallback;
    DWORD readySeconds = watcher::kReadyTimeout.fallback;
    DWORD minRunSeconds = watcher::kMinRun.fallback;
    std::wstring switches; // handed to the launcher as they stand
};

std::wstring_view NextToken(std::wstring_view &rest)
{
    while (!rest.empty() && (rest.front() == L' ' || rest.front() == L'\t'))
        rest.remove_prefix(1);
    size_t end = 0;
    if (!rest.empty() && rest.front() == L'"') {
        end = rest.find(L'"', 1);
        end = end == std::wstring_view::npos ? rest.size() : end + 1;
    } else {
        end = rest.find_first_of(L" \t");
        end = end == std::wstring_view::npos ? rest.size() : end;
    }
    const std::wstring_view token = rest.substr(0, end);
    rest.remove_prefix(end);
    return token;
}

// An option it cannot read keeps its default, and one out of its range the
// nearest bound: a damaged Shell value must still start the shell.
Settings ParseCommandLine(const wchar_t *commandLine)
{
    Settings settings;
    std::wstring_view rest(commandLine != nullptr ? commandLine : L"");
    NextToken(rest); // the program itself
    for (std::wstring_view token = NextToken(rest); !token.empty(); token = NextToken(rest)) {
        if (token == L"--") {
            while (!rest.empty() && (rest.front() == L' ' || rest.front() == L'\t'))
                rest.remove_prefix(1);
            settings.switches = rest;
            break;
        }
        for (const auto &[option, field] : {std::pair{&watcher::kRestarts, &settings.restarts},
                                            std::pair{&watcher::kReadyTimeout, &settings.readySeconds},
                                            std::pair{&watcher::kMinRun, &settings.minRunSeconds}}) {
            if (token == option->name)
                *field = watcher::Reading(*option, NextToken(rest));
        }
        // Anything else is ignored, for the same reason.
    }
    return settings;
}

std::wstring Number(DWORD value)
{
    return std::to_wstring(value);
}

// ---- Its usage, asked for by hand: said, and nothing else done or recorded.

bool AsksForUsage(const wchar_t *commandLine)
{
    std::wstring_view rest(commandLine != nullptr ? commandLine : L"");
    NextToken(rest); // the program itself
    const std::wstring_view first = NextToken(rest);
    return first == L"--help" || first == L"-h" || first == L"/?";
}

// On the standard output where there is one (a console or a pipe it was
// started with), else in a box.
void SayUsage()
{
    const std::wstring usage =
        L"usage: shellwatch.exe [--restarts N] [--ready-timeout S] [--min-run S] [-- LAUNCHER SWITCHES]\n\n"
        L"What the Shell value starts at log-on (shellctl install writes it): starts launcher.exe beside\n"
        L"it, starts it again after a crash, and gives way to the shell you had before, with a notice,\n"
        L"when it cannot start; \"shellctl status\" tells what happened at the last log-on.\n\n" +
        watcher::UsageLines(L"  ") +
        L"  -- SWITCHES        handed to launcher.exe as they stand\n"
        L"  --help, /?         this text; nothing is started or recorded\n\n"
        L"Exit code: 0, always: nothing it meets may hold the log-on up.\n";
    if (AttachConsole(ATTACH_PARENT_PROCESS) || GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_UNKNOWN) {
        const std::string bytes = text::Utf8(usage);
        DWORD written = 0;
        const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        if (!WriteConsoleW(out, usage.c_str(), static_cast<DWORD>(usage.size()), &written, nullptr))
            WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        return;
    }
    ShowBox(usage, L"shellwatch.exe", MB_OK | MB_ICONINFORMATION, BoxEnd{});
}

// ---- One run of the launcher

struct Run {
    bool started = false;
    std::wstring whyNot; // when it could not be started
    DWORD processId = 0;
    DWORD exitCode = 0;
    DWORD ranMs = 0;
    bool ready = false;
    bool abandoned = false; // hung before ready; the user chose the previous shell
    std::wstring heldBy;
    std::wstring dump;
};

// Starts the launcher, once more after a moment where the failure may pass.
bool StartLauncher(const Installation &installation, const Settings &settings, ChildProcess &launcher, Run &run)
{
    const std::wstring path = installation.Launcher();
    ChildOptions options;
    options.application = path.c_str();
    options.workDir = installation.Folder().c_str();
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        if (attempt > 0)
            Sleep(kStartRetryMs);
        if (launcher.Start(L"\"" + path + L"\"" + (settings.switches.empty() ? L"" : L" " + settings.switches),
                           options)) {
            run.started = true;
            run.processId = launcher.Id();
            return true;
        }
        // A missing or broken file stays so; anything else may pass.
        const DWORD error = launcher.Error();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_EXE_FORMAT)
            break;
    }
    const DWORD error = launcher.Error();
    run.whyNot = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                     ? std::wstring(registration::kLauncherFile) + L" is missing"
                     : std::wstring(registration::kLauncherFile) + L" cannot be started: " + SystemText(error);
    return false;
}

// Whether the user, asked about a launcher not ready in time, chose the
// previous shell; then it is dumped (where it hangs, for the author) and ended.
bool UserAbandons(ChildProcess &launcher, HANDLE shellReady, const Settings &settings, Run &run)
{
    run.heldBy = HeldBy(run.processId);
    const std::wstring question =
        L"The shell is not ready after " + Number(settings.readySeconds) + L" s: " + run.heldBy +
        L".\r\n\r\nStart your previous shell instead?\r\n\r\nYes ends this shell (a crash dump is kept for the "
        L"author of its components); No waits " + Number(settings.readySeconds) + L" s more.";
    BoxEnd end; // closes by itself once the shell is ready or has ended
    end.handles[0] = launcher.Handle();
    end.handles[1] = shellReady;
    end.count = 2;
    if (ShowBox(question, kQuestionCaption, kQuestionStyle, end) != IDYES)
        return false;
    run.dump = WriteDumpOf(launcher.Handle(), run.processId);
    launcher.Terminate(kEndedHung);
    return true;
}

// Waits until the launcher is ready or ends, asking every readySeconds
// while it is neither.
void AwaitReady(ChildProcess &launcher, HANDLE shellReady, const Settings &settings, Run &run, DWORD startedAt)
{
    const DWORD readyMs = settings.readySeconds * kMsPerSecond;
    const HANDLE waits[] = {launcher.Handle(), shellReady};
    DWORD askedAt = startedAt;
    for (;;) {
        const DWORD waited = GetTickCount() - askedAt;
        const DWORD result = WaitForMultipleObjects(2, waits, FALSE, waited < readyMs ? readyMs - waited : 0);
        if (result == WAIT_OBJECT_0 + 1)
            run.ready = true;
        if (result != WAIT_TIMEOUT) // ready, ended, or the event cannot be watched: the process alone then
            return;
        if (UserAbandons(launcher, shellReady, settings, run)) {
            run.abandoned = true;
            return;
        }
        askedAt = GetTickCount();
    }
}

// Starts the launcher and waits for its end.
Run RunLauncher(const Installation &installation, const Settings &settings, HANDLE shellReady)
{
    Run run;
    ChildProcess launcher;
    ResetEvent(shellReady); // set by the run before, if any
    const DWORD startedAt = GetTickCount();
    if (!StartLauncher(installation, settings, launcher, run))
        return run;
    AwaitReady(launcher, shellReady, settings, run, startedAt);
    launcher.Wait(INFINITE);
    run.ranMs = GetTickCount() - startedAt;
    run.exitCode = launcher.ExitCode();
    if (!run.abandoned && exceptions::IsException(run.exitCode)) // the launcher then wrote a dump
        run.dump = DumpPathOf(run.processId);
    return run;
}

// What happened to the run, in one sentence.
std::wstring WhatHappened(const Run &run, const Settings &settings, DWORD launches, std::wstring &fault)
{
    const std::wstring launcher = registration::kLauncherFile;
    if (!run.started)
        return run.whyNot;
    if (run.abandoned)
        return launcher + L" was not ready after " + Number(settings.readySeconds) + L" s (" + run.heldBy +
               L") and was ended";
    std::wstring what = launcher + L" ended with " + DescribeExitCode(run.exitCode);
    fault = run.dump.empty() ? L"" : FaultIn(run.dump);
    if (!fault.empty())
        what += L", in " + fault;
    if (!run.ready)
        what += L", before it was ready";
    else if (run.ranMs < settings.minRunSeconds * kMsPerSecond)
        what += L", " + Number(run.ranMs / kMsPerSecond) + L" s after it was started";
    if (launches > 1)
        what += L" (started " + Number(launches) + L" times)";
    return what;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (AsksForUsage(GetCommandLineW())) {
        SayUsage();
        return 0;
    }
    const Settings settings = ParseCommandLine(GetCommandLineW());
    const Installation installation = Installation::OfThisProgram();
    // One watcher per installation and session: a second one, however it was
    // started, starts nothing. Without the guard it still runs: the shell
    // matters more.
    const UniqueHandle guard(CreateMutexW(nullptr, FALSE, installation.SessionObjectName(L"shell watcher").c_str()));
    if (guard && GetLastError() == ERROR_ALREADY_EXISTS)
        return 0;
    // Held across the runs, so that each run's setting of it is seen; reset before each.
    const UniqueHandle shellReady(CreateEventW(nullptr, TRUE, FALSE, kShellReadyEvent));
    DWORD launches = 0, restarts = 0;
    for (;;) {
        const Run run = RunLauncher(installation, settings, shellReady.get());
        launches += run.started ? 1 : 0;
        Record record;
        record.exitCode = run.exitCode;
        record.dump = run.dump;
        record.launches = launches;
        record.what = WhatHappened(run, settings, launches, record.fault);
        // An end within --min-run is a failed start whatever its code: the
        // launcher ends with 0 also when it could load no core.
        const bool ranLongEnough = run.started && !run.abandoned && run.ranMs >= settings.minRunSeconds * kMsPerSecond;
        if (ranLongEnough && run.exitCode == 0)
            return 0; // the user ended the shell
        if (ranLongEnough && restarts < settings.restarts) {
            ++restarts;
            record.what += L"; started again";
            WriteRecord(installation, record);
            continue;
        }
        // A start that fails at once fails again; a shell that keeps crashing, too.
        FallBack(installation, record);
        return 0;
    }
}
