// shellwatch: what the Shell value starts at log-on. It starts launcher.exe
// beside it and watches it: a shell that crashes after it has run a while
// is started again, a bounded number of times; a shell that cannot start,
// or keeps crashing, or hangs before it is ready (once the user agrees),
// gives way to the shell the user had before, with a notice that says why.
// It reads no file and needs nothing but its own command line, so nothing
// it fails at can leave the user at a black screen.
//
//   shellwatch.exe [--restarts N] [--ready-timeout S] [--min-run S] [-- LAUNCHER SWITCHES]

#include "fault.h"

#include "Installation.h"
#include "SystemText.h"
#include "UniqueHandle.h"
#include "contract.h"

#include <iterator>
#include <string>
#include <string_view>

using namespace installation;

namespace {

constexpr wchar_t kQuestionCaption[] = L"Brevant - Shell not ready";
constexpr wchar_t kNoticeCaption[] = L"Brevant - Previous shell started";
constexpr UINT kQuestionStyle = MB_SYSTEMMODAL | MB_ICONWARNING | MB_YESNO;
constexpr UINT kNoticeStyle = MB_SYSTEMMODAL | MB_ICONWARNING | MB_OK;
// A notice nobody reads closes by itself, so the watcher never outlives the log-on for long.
constexpr DWORD kNoticeMs = 10 * 60 * 1000;
constexpr DWORD kPollMs = 200;
constexpr int kDismissed = 0x7FFF; // a box ended by the watcher, not by the user
constexpr UINT kEndedHung = 1;    // the exit code of a hung launcher the watcher ends
constexpr DWORD kMsPerSecond = 1000;
constexpr int kStartAttempts = 2;
constexpr DWORD kStartRetryMs = 1000;

struct Settings {
    DWORD restarts = 2;
    DWORD readySeconds = 90;
    DWORD minRunSeconds = 30;
    std::wstring switches; // handed to the launcher as they stand
};

constexpr DWORD kMaxRestarts = 100;
constexpr DWORD kMaxSeconds = 24 * 60 * 60;

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

// A value that cannot be read keeps its default: a damaged Shell value
// must still start the shell.
void ReadNumber(std::wstring_view text, DWORD max, DWORD &field)
{
    DWORD value = 0;
    if (text.empty() || text.size() > 9)
        return;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return;
        value = value * 10 + (c - L'0');
    }
    if (value <= max)
        field = value;
}

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
        if (token == L"--restarts")
            ReadNumber(NextToken(rest), kMaxRestarts, settings.restarts);
        else if (token == L"--ready-timeout")
            ReadNumber(NextToken(rest), kMaxSeconds, settings.readySeconds);
        else if (token == L"--min-run")
            ReadNumber(NextToken(rest), kMaxSeconds, settings.minRunSeconds);
        // Anything else is ignored, for the same reason.
    }
    if (settings.readySeconds == 0)
        settings.readySeconds = 1;
    return settings;
}

std::wstring Number(DWORD value)
{
    return std::to_wstring(value);
}

// ---- Boxes that end by themselves

// user32.dll is loaded only once a box is to show: loaded with the watcher,
// it would add its start-up to every log-on's.
class User32 {
public:
    User32() : module_(LoadLibraryExA("user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
    {
        if (!module_ && GetLastError() == ERROR_INVALID_PARAMETER) // no search flags on this system
            module_.reset(LoadLibraryA("user32.dll"));
    }

    template <typename Proc>
    Proc Entry(const char *name) const
    {
        return module_ ? reinterpret_cast<Proc>(reinterpret_cast<void *>(GetProcAddress(module_.get(), name)))
                       : nullptr;
    }

private:
    UniqueModule module_;
};

// What ends the box that shows: any of the handles signalled, or the time up.
struct BoxEnd {
    HANDLE handles[2] = {};
    DWORD count = 0;
    DWORD shownAt = 0;
    DWORD limitMs = INFINITE;
    decltype(&EnumThreadWindows) enumThreadWindows = nullptr;
    decltype(&GetClassNameA) getClassName = nullptr;
    decltype(&EndDialog) endDialog = nullptr;
} g_BoxEnd;

BOOL CALLBACK EndBox(HWND window, LPARAM)
{
    char windowClass[16] = "";
    g_BoxEnd.getClassName(window, windowClass, sizeof(windowClass));
    if (lstrcmpA(windowClass, "#32770") == 0) // a message box's window class
        g_BoxEnd.endDialog(window, kDismissed);
    return TRUE;
}

// On the box's own thread: its modal loop dispatches the timer.
void CALLBACK PollBox(HWND, UINT, UINT_PTR, DWORD)
{
    const BoxEnd &end = g_BoxEnd;
    const bool signalled = end.count > 0 && WaitForMultipleObjects(end.count, end.handles, FALSE, 0) < end.count;
    if (signalled || (end.limitMs != INFINITE && GetTickCount() - end.shownAt >= end.limitMs))
        end.enumThreadWindows(GetCurrentThreadId(), EndBox, 0);
}

// A system-modal box with no owner; kDismissed when `end` came first, 0
// when no box can be shown at all.
int ShowBox(const std::wstring &text, const wchar_t *caption, UINT style, const BoxEnd &end)
{
    const User32 user32;
    const auto messageBox = user32.Entry<decltype(&MessageBoxW)>("MessageBoxW");
    const auto setTimer = user32.Entry<decltype(&SetTimer)>("SetTimer");
    const auto killTimer = user32.Entry<decltype(&KillTimer)>("KillTimer");
    g_BoxEnd = end;
    g_BoxEnd.shownAt = GetTickCount();
    g_BoxEnd.enumThreadWindows = user32.Entry<decltype(&EnumThreadWindows)>("EnumThreadWindows");
    g_BoxEnd.getClassName = user32.Entry<decltype(&GetClassNameA)>("GetClassNameA");
    g_BoxEnd.endDialog = user32.Entry<decltype(&EndDialog)>("EndDialog");
    if (messageBox == nullptr || setTimer == nullptr || killTimer == nullptr || g_BoxEnd.enumThreadWindows == nullptr ||
        g_BoxEnd.getClassName == nullptr || g_BoxEnd.endDialog == nullptr)
        return 0;
    const UINT_PTR timer = setTimer(nullptr, 0, kPollMs, PollBox);
    const int answer = messageBox(nullptr, text.c_str(), caption, style);
    if (timer != 0)
        killTimer(nullptr, timer);
    return answer;
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
    std::string heldBy;
    std::string dump;
};

// Starts the launcher and waits for its end; asks the user, every
// readySeconds, while it is not ready.
Run RunLauncher(const std::wstring &dir, const Settings &settings, HANDLE shellReady)
{
    Run run;
    const std::wstring launcher = dir + L"\\" + Widen(contract::kLauncherFile);
    std::wstring commandLine = L"\"" + launcher + L"\"" + (settings.switches.empty() ? L"" : L" " + settings.switches);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ResetEvent(shellReady); // set by the run before, if any
    DWORD startedAt = 0, error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        if (attempt > 0)
            Sleep(kStartRetryMs);
        startedAt = GetTickCount();
        if (CreateProcessW(launcher.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(),
                           &startup, &process)) {
            error = ERROR_SUCCESS;
            break;
        }
        error = GetLastError();
        // A missing or broken file stays so; anything else may pass.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_EXE_FORMAT)
            break;
    }
    if (error != ERROR_SUCCESS) {
        run.whyNot = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                         ? Widen(contract::kLauncherFile) + L" is missing"
                         : Widen(contract::kLauncherFile) + L" cannot be started: " + Widen(SystemText(error));
        return run;
    }
    const UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    run.started = true;
    run.processId = process.dwProcessId;

    const DWORD readyMs = settings.readySeconds * kMsPerSecond;
    const HANDLE waits[] = {processHandle.get(), shellReady};
    DWORD askedAt = startedAt;
    while (!run.ready) {
        const DWORD waited = GetTickCount() - askedAt;
        const DWORD result =
            WaitForMultipleObjects(2, waits, FALSE, waited < readyMs ? readyMs - waited : 0);
        if (result == WAIT_OBJECT_0)
            break; // ended before it was ready
        if (result == WAIT_OBJECT_0 + 1) {
            run.ready = true;
            break;
        }
        if (result != WAIT_TIMEOUT) { // cannot watch the event: watch the process alone
            WaitForSingleObject(processHandle.get(), INFINITE);
            break;
        }
        run.heldBy = HeldBy(run.processId);
        const std::wstring question =
            L"The shell is not ready after " + Number(settings.readySeconds) + L" s: " + Widen(run.heldBy) +
            L".\r\n\r\nStart your previous shell instead?\r\n\r\nYes ends this shell (a crash dump is kept for the "
            L"author of its components); No waits " + Number(settings.readySeconds) + L" s more.";
        BoxEnd end;
        end.handles[0] = processHandle.get();
        end.handles[1] = shellReady;
        end.count = 2;
        if (ShowBox(question, kQuestionCaption, kQuestionStyle, end) == IDYES) {
            run.dump = WriteDumpOf(processHandle.get(), run.processId); // where it hangs, for the author
            TerminateProcess(processHandle.get(), kEndedHung);
            WaitForSingleObject(processHandle.get(), INFINITE);
            run.abandoned = true;
            break;
        }
        askedAt = GetTickCount();
    }
    if (run.ready)
        WaitForSingleObject(processHandle.get(), INFINITE);
    run.ranMs = GetTickCount() - startedAt;
    GetExitCodeProcess(processHandle.get(), &run.exitCode);
    if (!run.abandoned && IsExceptionCode(run.exitCode))
        run.dump = DumpPathOf(run.processId);
    return run;
}

// ---- Falling back

// The hive whose Shell value starts this installation (the user's wins at
// log-on); the user's own when neither does, as when started by hand.
HKEY InstalledHive(const std::wstring &dir)
{
    for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        UniqueKey winlogon;
        if (OpenKey(hive, kWinlogonKey, KEY_QUERY_VALUE, false, winlogon) != ERROR_SUCCESS)
            continue;
        Value shell;
        if (Read(winlogon.get(), kShellValue, shell) == ERROR_SUCCESS && shell.present)
            return NamesInstallation(shell.Text(), dir) ? hive : HKEY_CURRENT_USER;
    }
    return HKEY_CURRENT_USER;
}

// What install saved of the user's previous shell under hive; empty for none.
std::wstring SavedShell(HKEY hive)
{
    UniqueKey product;
    Saved saved;
    if (OpenKey(hive, kProductKey, KEY_QUERY_VALUE, false, product) != ERROR_SUCCESS ||
        ReadSaved(product.get(), saved) != ERROR_SUCCESS || !saved.present)
        return L"";
    return saved.previous.Text();
}

// The machine's Shell value; empty for none.
std::wstring MachineShell()
{
    UniqueKey winlogon;
    Value shell;
    if (OpenKey(HKEY_LOCAL_MACHINE, kWinlogonKey, KEY_QUERY_VALUE, false, winlogon) != ERROR_SUCCESS ||
        Read(winlogon.get(), kShellValue, shell) != ERROR_SUCCESS)
        return L"";
    return shell.Text();
}

// The shell the user had: what install saved; if there was none, the
// machine's Shell value unless it is this installation's; else the system's.
std::wstring PreviousShell(const std::wstring &dir)
{
    std::wstring previous = SavedShell(InstalledHive(dir));
    if (previous.empty() || NamesInstallation(previous, dir))
        previous = MachineShell();
    if (previous.empty() || NamesInstallation(previous, dir))
        previous = kDefaultShell;
    return previous;
}

bool StartShell(const std::wstring &command)
{
    wchar_t expanded[2 * MAX_PATH];
    const DWORD length = ExpandEnvironmentStringsW(command.c_str(), expanded, static_cast<DWORD>(std::size(expanded)));
    std::wstring commandLine = length > 0 && length <= std::size(expanded) ? expanded : command;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    const UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread); // not watched: only started
    return true;
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

struct Record {
    std::wstring what, fault, started;
    std::string dump;
    DWORD exitCode = 0;
    DWORD launches = 0;
};

// The user's own record of this log-on, for shellctl status. Best effort:
// nothing here may keep the user from a shell.
void WriteRecord(const Record &record)
{
    UniqueKey key;
    if (OpenKey(HKEY_CURRENT_USER, kRecordKey, KEY_SET_VALUE, true, key) != ERROR_SUCCESS)
        return;
    const auto textOrAbsent = [](const std::wstring &text) { return text.empty() ? Value{} : TextValue(text); };
    Write(key.get(), kRecordTime, TextValue(LocalTime()));
    Write(key.get(), kRecordWhat, TextValue(record.what));
    Write(key.get(), kRecordExitCode, NumberValue(record.exitCode));
    Write(key.get(), kRecordFault, textOrAbsent(record.fault));
    Write(key.get(), kRecordDump, textOrAbsent(Widen(record.dump)));
    Write(key.get(), kRecordStarted, textOrAbsent(record.started));
    Write(key.get(), kRecordLaunches, NumberValue(record.launches));
}

// What happened to the run, in one sentence.
std::wstring WhatHappened(const Run &run, const Settings &settings, DWORD launches, std::wstring &fault)
{
    const std::wstring launcher = Widen(contract::kLauncherFile);
    if (!run.started)
        return run.whyNot;
    if (run.abandoned)
        return launcher + L" was not ready after " + Number(settings.readySeconds) + L" s (" + Widen(run.heldBy) +
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

// Starts the previous shell first, so that nothing the user does not answer
// holds it; then records and says what happened.
void FallBack(const std::wstring &dir, const Record &failure)
{
    Record record = failure;
    std::wstring previous = PreviousShell(dir);
    if (!StartShell(previous) && previous != kDefaultShell)
        previous = StartShell(kDefaultShell) ? kDefaultShell : L"";
    record.started = previous;
    WriteRecord(record);
    std::wstring notice = L"Your shell could not start: " + record.what + L".\r\n\r\n";
    notice += previous.empty() ? L"No other shell could be started either."
                               : L"Your previous shell was started instead: " + previous + L".";
    notice += L"\r\n\r\n\"shellctl status\" in " + dir + L" has the details.";
    BoxEnd end;
    end.limitMs = kNoticeMs;
    ShowBox(notice, kNoticeCaption, kNoticeStyle, end);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    const Settings settings = ParseCommandLine(GetCommandLineW());
    const std::wstring dir = ProgramDir();
    // Held across the runs, so that each run's setting of it is seen; reset before each.
    const UniqueHandle shellReady(CreateEventW(nullptr, TRUE, FALSE, Widen(contract::kShellReadyEvent).c_str()));
    DWORD launches = 0, restarts = 0;
    for (;;) {
        const Run run = RunLauncher(dir, settings, shellReady.get());
        launches += run.started ? 1 : 0;
        Record record;
        record.exitCode = run.exitCode;
        record.dump = run.dump;
        record.launches = launches;
        record.what = WhatHappened(run, settings, launches, record.fault);
        const bool ranLongEnough = run.started && run.ranMs >= settings.minRunSeconds * kMsPerSecond;
        if (ranLongEnough && !run.abandoned && run.exitCode == 0)
            return 0; // the user ended the shell
        if (ranLongEnough && !run.abandoned && restarts < settings.restarts) {
            ++restarts;
            record.what += L"; started again";
            WriteRecord(record);
            continue;
        }
        // A start that fails at once fails again; a shell that keeps crashing, too.
        FallBack(dir, record);
        return 0;
    }
}
