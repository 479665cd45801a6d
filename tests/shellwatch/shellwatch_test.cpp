// The watcher as a user meets it: installed by shellctl over a previous
// shell, started from the Shell value as the log-on process starts it, and
// the components broken afterwards through the stand-in's scenario. The
// previous shell is the stand-in fakeshell.exe, which says it was started
// by writing a file.

#include "harness.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

using namespace harness;

namespace {

constexpr DWORD kTimeout = 120000;
constexpr char kQuestion[] = "Brevant - Shell not ready";
constexpr char kNotice[] = "Brevant - Previous shell started";
constexpr char kWinlogon[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
constexpr char kRecord[] = "Software\\Brevant\\Shell start-up\\Last log-on";
constexpr DWORD kPreviousRunsMs = 2500; // longer than the watcher waits to see a previous shell run

std::string ReadValue(HKEY hive, const char *key, const char *value)
{
    char text[1024] = "";
    DWORD size = sizeof(text);
    if (RegGetValueA(hive, key, value, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return "(absent)";
    return text;
}

std::string ReadValue(const char *key, const char *value)
{
    return ReadValue(HKEY_CURRENT_USER, key, value);
}

// Sets (or, with null, deletes) the Shell value of a hive.
void SetShell(HKEY hive, const char *command)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(hive, kWinlogon, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr), ERROR_SUCCESS);
    if (command != nullptr)
        RegSetValueExA(key, "Shell", 0, REG_SZ, reinterpret_cast<const BYTE *>(command),
                       static_cast<DWORD>(strlen(command) + 1));
    else
        RegDeleteValueA(key, "Shell");
    RegCloseKey(key);
}

// What the log-on process does: start the Shell value, as it stands.
HANDLE LogOn(HKEY hive = HKEY_CURRENT_USER)
{
    std::string command = ReadValue(hive, kWinlogon, "Shell");
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Polls for the file, which a program just started writes.
bool Exists(const std::string &path)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < kTimeout; Sleep(50)) {
        if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
    }
    return false;
}

int Launches(const std::string &dir)
{
    int count = 0;
    for (const std::string &line : ReadJournal(dir))
        count += line.rfind("modcore ShellMain dir=", 0) == 0 ? 1 : 0;
    return count;
}

// The processes of that name started since `since`; ended when `end` is set.
int ProcessesSince(const char *name, const FILETIME &since, bool end = false)
{
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Process32First(snapshot, &entry); ok; ok = Process32Next(snapshot, &entry)) {
        HANDLE process = _stricmp(entry.szExeFile, name) == 0
                             ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                                           entry.th32ProcessID)
                             : nullptr;
        FILETIME created, exited, kernel, user;
        if (process != nullptr && GetProcessTimes(process, &created, &exited, &kernel, &user) &&
            CompareFileTime(&created, &since) >= 0) {
            ++count;
            if (end)
                TerminateProcess(process, 1);
        }
        if (process != nullptr)
            CloseHandle(process);
    }
    CloseHandle(snapshot);
    return count;
}

FILETIME Now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return now;
}

// The previous shell's command: the stand-in, running for `ms`, writing `file`.
std::string FakeShell(const std::string &file, DWORD ms = kPreviousRunsMs)
{
    return "\"" + ProgramDir() + "\\fixtures\\fakeshell.exe\" \"" + file + "\" " + std::to_string(ms);
}

std::string DumpDir()
{
    char local[MAX_PATH] = "";
    GetEnvironmentVariableA("LOCALAPPDATA", local, sizeof(local));
    return std::string(local) + "\\CrashDumps";
}

int LauncherDumps()
{
    int count = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((DumpDir() + "\\launcher.exe.*.dmp").c_str(), &found);
    for (BOOL ok = search != INVALID_HANDLE_VALUE; ok; ok = FindNextFileA(search, &found))
        ++count;
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    return count;
}

// Dumps of launchers long gone, older than any the watcher writes.
void PlantOldDumps(int count)
{
    CreateDirectoryA(DumpDir().c_str(), nullptr);
    const FILETIME old{0, 0x01000000};
    for (int i = 0; i < count; ++i) {
        HANDLE file = CreateFileA((DumpDir() + "\\launcher.exe." + std::to_string(90000 + i) + ".dmp").c_str(),
                                  GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        SetFileTime(file, nullptr, nullptr, &old);
        CloseHandle(file);
    }
}

std::string InstallWatcher(const std::string &name)
{
    const std::string dir = MakeFullInstall(name);
    for (const char *program : {"shellwatch.exe", "shellctl.exe", "componentcheck.exe"})
        CopyInto(ProgramDir() + "\\" + program, dir + "\\" + program);
    return dir;
}

// Answers the notice; its text, or empty when none came.
std::string TakeNotice()
{
    HWND box = WaitForWindow(kNotice, kTimeout);
    if (box == nullptr)
        return "";
    const std::string notice = MessageBoxText(box);
    Press(box, IDOK);
    return notice;
}

TEST(Shellwatch, RestartsThenFallsBackToThePreviousShell)
{
    const std::string dir = InstallWatcher("shellwatch");
    const std::string started = dir + "\\previous-shell.txt";
    const std::string previous = FakeShell(started);
    SetShell(HKEY_CURRENT_USER, previous.c_str());
    DWORD exitCode = 0;
    const std::string shellctl = "\"" + dir + "\\shellctl.exe\" ";
    const std::string installed = RunAndCapture(
        shellctl + "install --restarts 2 --ready-timeout 2 --min-run 2 -- -m1", kTimeout, exitCode, true);
    ASSERT_EQ(exitCode, 0u) << installed;
    const std::string watched = "\"" + dir + "\\shellwatch.exe\" --restarts 2 --ready-timeout 2 --min-run 2 -- -m1";
    EXPECT_EQ(ReadValue(kWinlogon, "Shell"), watched);

    // The components broke after the install.
    const struct {
        const char *name;
        const char *scenario;
        const char *removed; // a file gone since
        int launches;        // times ShellMain ran
        bool hangs;          // the question comes: No waits, Yes falls back
        const char *notice;  // null: nothing falls back
        const char *shell = nullptr; // the Shell value as somebody set it by hand since
        bool sourceLine = false;     // the record and status name the line that crashed
    } cases[] = {
        {"crashes after it was ready", "[ShellMain]\nmode=crash\ndelay=2500\n", nullptr, 3, false,
         "launcher.exe ended with 0xC0000005, an access violation, in modcore.dll+0x", nullptr, true},
        {"core returns -1", "[ShellMain]\nmode=fail\n", nullptr, 1, false, "launcher.exe ended with exit code 0, "},
        {"core missing", "", "modcore.dll", 0, false, "launcher.exe ended with exit code 0, "},
        // An earlier shellctl wrote --min-run 0: an end at once is still a failed start.
        {"core missing, --min-run 0 set by hand", "", "modcore.dll", 0, false,
         "launcher.exe ended with exit code 0, 0 s after it was started", "--min-run 0"},
        {"launcher missing", "", "launcher.exe", 0, false, "launcher.exe is missing"},
        {"core never signals", "[ShellMain]\nsignal_gate=shellwatch_never_opened\n", nullptr, 1, true,
         "launcher.exe was not ready after 2 s (modcore.dll: ShellMain has not signalled) and was ended"},
        {"ends normally", "[ShellMain]\nmode=return\ndelay=2500\n", nullptr, 1, false, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        WriteText(dir + "\\scenario.ini", c.scenario);
        DeleteFileA((dir + "\\journal.txt").c_str());
        DeleteFileA(started.c_str());
        const std::string removed = c.removed ? dir + "\\" + c.removed : "", kept = removed + ".kept";
        if (c.removed)
            ASSERT_TRUE(MoveFileA(removed.c_str(), kept.c_str()));
        if (c.shell != nullptr)
            SetShell(HKEY_CURRENT_USER, ("\"" + dir + "\\shellwatch.exe\" " + c.shell).c_str());
        if (c.hangs)
            PlantOldDumps(12);

        const HANDLE watcher = LogOn();
        ASSERT_NE(watcher, nullptr);
        if (c.hangs) {
            HWND question = WaitForWindow(kQuestion, kTimeout);
            ASSERT_NE(question, nullptr);
            EXPECT_NE(MessageBoxText(question).find("modcore.dll: ShellMain has not signalled"), std::string::npos);
            Press(question, IDNO);
            Sleep(500);
            EXPECT_EQ(FindWindowA(nullptr, kQuestion), nullptr) << "asked again before the time was up";
            EXPECT_TRUE(Answer(kQuestion, IDYES, kTimeout)) << "not asked again";
        }
        if (c.notice != nullptr) {
            const std::string notice = TakeNotice();
            EXPECT_TRUE(Exists(started)) << "the previous shell did not start while the notice waits";
            EXPECT_NE(notice.find(c.notice), std::string::npos) << notice;
            EXPECT_NE(notice.find("Your previous shell was started instead: " + previous), std::string::npos)
                << notice;
        }
        EXPECT_EQ(WaitForSingleObject(watcher, kTimeout), WAIT_OBJECT_0) << "the watcher is still running";
        CloseHandle(watcher);
        EXPECT_EQ(Launches(dir), c.launches);
        if (c.notice == nullptr)
            EXPECT_EQ(GetFileAttributesA(started.c_str()), INVALID_FILE_ATTRIBUTES) << "fell back after a normal end";
        if (c.sourceLine) { // from the dump's module list and the PDB beside the module
            std::string line;
            for (const std::string &journalled : ReadJournal(dir))
                line = journalled.rfind("modcore crash-line ", 0) == 0 ? journalled.substr(19) : line;
            const std::string at = " at component.cpp:" + line;
            EXPECT_NE(ReadValue(kRecord, "Fault").find(at), std::string::npos) << ReadValue(kRecord, "Fault");
            const std::string status = RunAndCapture(shellctl + "status", kTimeout, exitCode, true);
            EXPECT_NE(status.find("faulting module: modcore.dll+0x"), std::string::npos) << status;
            EXPECT_NE(status.find(at), std::string::npos) << status;
        }
        if (c.hangs) {
            const std::string dump = ReadValue(kRecord, "Dump");
            EXPECT_NE(GetFileAttributesA(dump.c_str()), INVALID_FILE_ATTRIBUTES) << "no dump of the hung launcher: " << dump;
            EXPECT_LE(LauncherDumps(), 10) << "the watcher's dump left more than the newest ten";
        }
        if (c.removed)
            ASSERT_TRUE(MoveFileA(kept.c_str(), removed.c_str()));
        if (c.shell != nullptr)
            SetShell(HKEY_CURRENT_USER, watched.c_str());
    }

    const std::string status = RunAndCapture(shellctl + "status", kTimeout, exitCode, true);
    EXPECT_NE(status.find("last log-on: "), std::string::npos) << status;
    EXPECT_NE(status.find("was not ready after 2 s"), std::string::npos) << status;
    EXPECT_NE(status.find("started instead: " + previous), std::string::npos) << status;
    const std::string uninstalled = RunAndCapture(shellctl + "uninstall", kTimeout, exitCode, true);
    EXPECT_EQ(exitCode, 0u) << uninstalled;
    EXPECT_EQ(ReadValue(kWinlogon, "Shell"), previous);
    EXPECT_EQ(ReadValue(kRecord, "What"), "(absent)");
}

// A previous shell that cannot start, or ends at once, is said as such, and
// the next one is tried: the machine's value, then the system's.
TEST(Shellwatch, FallsBackPastWhatCannotStart)
{
    const std::string dir = InstallWatcher("shellwatch_previous");
    const std::string first = dir + "\\first.txt", second = dir + "\\second.txt";
    SetEnvironmentVariableA("SHELLTEST_FIXTURES", (ProgramDir() + "\\fixtures").c_str());
    const struct {
        const char *name;
        std::string previous; // the user's Shell value before the install
        std::string machine;  // the machine's Shell value
        std::string started;  // the file the shell started instead writes
        const char *notice;   // what the notice must say of the first one
    } cases[] = {
        {"ends at once", FakeShell(first, 0), FakeShell(second), second, "ended at once, with exit code 0"},
        {"cannot be started", "\"" + dir + "\\no such shell.exe\" -x", FakeShell(second), second,
         "could not be started: "},
        // Longer than any fixed buffer once its reference is expanded.
        {"long once expanded",
         "\"%SHELLTEST_FIXTURES%\\fakeshell.exe\" \"" + first + "\" 2500 " + std::string(600, 'x'), FakeShell(second),
         first, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileA(first.c_str());
        DeleteFileA(second.c_str());
        SetShell(HKEY_LOCAL_MACHINE, c.machine.c_str());
        SetShell(HKEY_CURRENT_USER, c.previous.c_str());
        DWORD exitCode = 0;
        const std::string shellctl = "\"" + dir + "\\shellctl.exe\" ";
        const std::string installed = RunAndCapture(shellctl + "install --force", kTimeout, exitCode, true);
        ASSERT_EQ(exitCode, 0u) << installed;
        ASSERT_TRUE(MoveFileA((dir + "\\modcore.dll").c_str(), (dir + "\\modcore.dll.kept").c_str()));

        const HANDLE watcher = LogOn();
        ASSERT_NE(watcher, nullptr);
        const std::string notice = TakeNotice();
        EXPECT_TRUE(Exists(c.started)) << notice;
        if (c.notice != nullptr) {
            EXPECT_NE(notice.find("Not started: " + c.previous + " " + c.notice), std::string::npos) << notice;
            EXPECT_NE(notice.find("Your previous shell was started instead: " + c.machine), std::string::npos)
                << notice;
            EXPECT_NE(ReadValue(kRecord, "NotStarted").find(c.notice), std::string::npos);
        }
        EXPECT_EQ(WaitForSingleObject(watcher, kTimeout), WAIT_OBJECT_0);
        CloseHandle(watcher);
        ASSERT_TRUE(MoveFileA((dir + "\\modcore.dll.kept").c_str(), (dir + "\\modcore.dll").c_str()));
        RunAndCapture(shellctl + "uninstall", kTimeout, exitCode, true);
        EXPECT_EQ(ReadValue(kWinlogon, "Shell"), c.previous);
    }
    SetShell(HKEY_LOCAL_MACHINE, "explorer.exe");
    SetShell(HKEY_CURRENT_USER, nullptr);
}

// The machine's value names the watcher unquoted in a folder with blanks
// and the core crashes at once: the watcher is recognised as itself, so it
// falls back past it; a second watcher of the same installation starts nothing.
TEST(Shellwatch, NeverStartsItself)
{
    const std::string dir = InstallWatcher("shellwatch with blanks");
    const FILETIME since = Now();
    SetShell(HKEY_CURRENT_USER, nullptr);
    SetShell(HKEY_LOCAL_MACHINE, (dir + "\\shellwatch.exe --min-run 2").c_str());
    WriteText(dir + "\\scenario.ini", "[ShellMain]\nmode=crash\n");
    const HANDLE watcher = LogOn(HKEY_LOCAL_MACHINE);
    ASSERT_NE(watcher, nullptr);
    const std::string notice = TakeNotice();
    EXPECT_NE(notice.find("an access violation"), std::string::npos) << notice;
    EXPECT_EQ(WaitForSingleObject(watcher, kTimeout), WAIT_OBJECT_0);
    CloseHandle(watcher);
    Sleep(1000); // a chain, were there one, would be under way by now
    EXPECT_EQ(Launches(dir), 1);
    EXPECT_EQ(ProcessesSince("shellwatch.exe", since), 0) << "a watcher started another";
    ProcessesSince("explorer.exe", since, true); // the system's shell, the last to fall back to

    WriteText(dir + "\\scenario.ini", "");
    DeleteFileA((dir + "\\journal.txt").c_str());
    const HANDLE running = LogOn(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(WaitForNamedEvent("ShellIsReadyEvent", kTimeout));
    const HANDLE second = LogOn(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(WaitForSingleObject(second, kTimeout), WAIT_OBJECT_0) << "a second watcher kept running";
    CloseHandle(second);
    EXPECT_EQ(Launches(dir), 1) << "a second watcher started the launcher again";
    Sleep(2000); // past --min-run: quitting is the user ending the shell
    DWORD exitCode = 0;
    RunAndCapture("\"" + dir + "\\shellctl.exe\" quit", kTimeout, exitCode);
    EXPECT_EQ(WaitForSingleObject(running, kTimeout), WAIT_OBJECT_0);
    CloseHandle(running);
    SetShell(HKEY_LOCAL_MACHINE, "explorer.exe");
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Brevant"); // its record of the log-on
}

// Asked for its usage, it says it and starts nothing, and the record of the
// last log-on stays as it was.
TEST(Shellwatch, HelpSaysItsUsageAndDoesNothingElse)
{
    const std::string dir = InstallWatcher("shellwatch_help");
    HKEY record = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kRecord, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &record, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(record, "What", 0, REG_SZ, reinterpret_cast<const BYTE *>("earlier"), 8);
    RegCloseKey(record);
    for (const char *asking : {"--help", "/?"}) {
        DWORD exitCode = 1;
        const std::string usage = RunAndCapture("\"" + dir + "\\shellwatch.exe\" " + asking, kTimeout, exitCode);
        EXPECT_EQ(exitCode, 0u);
        EXPECT_NE(usage.find("usage: shellwatch.exe"), std::string::npos) << usage;
        EXPECT_NE(usage.find("--min-run S        an end sooner than this is a failed start, 2 to 86400 (default 30)"),
                  std::string::npos) << usage;
    }
    EXPECT_TRUE(ReadJournal(dir).empty()) << "a launcher was started";
    EXPECT_EQ(ReadValue(kRecord, "What"), "earlier");
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Brevant");
}

} // namespace
