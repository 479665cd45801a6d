// The watcher as a user meets it: installed by shellctl over a previous
// shell, started from the Shell value as the log-on process starts it, and
// the components broken afterwards through the stand-in's scenario.

#include "harness.h"

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

std::string ReadText(const char *key, const char *value)
{
    char text[1024] = "";
    DWORD size = sizeof(text);
    if (RegGetValueA(HKEY_CURRENT_USER, key, value, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return "(absent)";
    return text;
}

void SetShell(const std::string &command)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kWinlogon, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "Shell", 0, REG_SZ, reinterpret_cast<const BYTE *>(command.c_str()),
                   static_cast<DWORD>(command.size() + 1));
    RegCloseKey(key);
}

// What the log-on process does: start the user's Shell value, as it stands.
HANDLE LogOn()
{
    std::string command = ReadText(kWinlogon, "Shell");
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

TEST(Shellwatch, RestartsThenFallsBackToThePreviousShell)
{
    const std::string dir = MakeFullInstall("shellwatch");
    for (const char *program : {"shellwatch.exe", "shellctl.exe", "componentcheck.exe"})
        ASSERT_TRUE(CopyFileA((ProgramDir() + "\\" + program).c_str(), (dir + "\\" + program).c_str(), FALSE));
    const std::string started = dir + "\\previous-shell.txt";
    const std::string previous = "cmd.exe /c echo started>\"" + started + "\"";
    SetShell(previous);
    DWORD exitCode = 0;
    const std::string shellctl = "\"" + dir + "\\shellctl.exe\" ";
    const std::string installed = RunAndCapture(
        shellctl + "install --restarts 2 --ready-timeout 2 --min-run 1 -- -m1", kTimeout, exitCode, true);
    ASSERT_EQ(exitCode, 0u) << installed;
    EXPECT_EQ(ReadText(kWinlogon, "Shell"),
              "\"" + dir + "\\shellwatch.exe\" --restarts 2 --ready-timeout 2 --min-run 1 -- -m1");

    // The components broke after the install.
    const struct {
        const char *name;
        const char *scenario;
        const char *removed; // a file gone since
        int launches;        // times ShellMain ran
        bool hangs;          // the question comes: No waits, Yes falls back
        const char *notice;  // null: nothing falls back
    } cases[] = {
        {"crashes after it was ready", "[ShellMain]\nmode=crash\ndelay=1500\n", nullptr, 3, false,
         "launcher.exe ended with 0xC0000005, an access violation, in modcore.dll+0x"},
        {"core returns -1", "[ShellMain]\nmode=fail\n", nullptr, 1, false, "launcher.exe ended with exit code 0, "},
        {"core missing", "", "modcore.dll", 0, false, "launcher.exe ended with exit code 0, "},
        {"launcher missing", "", "launcher.exe", 0, false, "launcher.exe is missing"},
        {"core never signals", "[ShellMain]\nsignal_gate=shellwatch_never_opened\n", nullptr, 1, true,
         "launcher.exe was not ready after 2 s (modcore.dll: ShellMain has not signalled) and was ended"},
        {"ends normally", "[ShellMain]\nmode=return\ndelay=1500\n", nullptr, 1, false, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(dir + "\\scenario.ini") << c.scenario;
        DeleteFileA((dir + "\\journal.txt").c_str());
        DeleteFileA(started.c_str());
        const std::string removed = c.removed ? dir + "\\" + c.removed : "", kept = removed + ".kept";
        if (c.removed)
            ASSERT_TRUE(MoveFileA(removed.c_str(), kept.c_str()));

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
        std::string notice;
        if (c.notice != nullptr) {
            HWND box = WaitForWindow(kNotice, kTimeout);
            ASSERT_NE(box, nullptr);
            notice = MessageBoxText(box);
            EXPECT_TRUE(Exists(started)) << "the previous shell did not start while the notice waits";
            Press(box, IDOK);
            EXPECT_NE(notice.find(c.notice), std::string::npos) << notice;
            EXPECT_NE(notice.find("Your previous shell was started instead: " + previous), std::string::npos)
                << notice;
        }
        EXPECT_EQ(WaitForSingleObject(watcher, kTimeout), WAIT_OBJECT_0) << "the watcher is still running";
        CloseHandle(watcher);
        EXPECT_EQ(Launches(dir), c.launches);
        if (c.notice == nullptr)
            EXPECT_EQ(GetFileAttributesA(started.c_str()), INVALID_FILE_ATTRIBUTES) << "fell back after a normal end";
        if (c.hangs) {
            const std::string dump = ReadText(kRecord, "Dump");
            EXPECT_NE(GetFileAttributesA(dump.c_str()), INVALID_FILE_ATTRIBUTES) << "no dump of the hung launcher: " << dump;
        }
        if (c.removed)
            ASSERT_TRUE(MoveFileA(kept.c_str(), removed.c_str()));
    }

    const std::string status = RunAndCapture(shellctl + "status", kTimeout, exitCode, true);
    EXPECT_NE(status.find("last log-on: "), std::string::npos) << status;
    EXPECT_NE(status.find("was not ready after 2 s"), std::string::npos) << status;
    EXPECT_NE(status.find("started instead: " + previous), std::string::npos) << status;
    const std::string uninstalled = RunAndCapture(shellctl + "uninstall", kTimeout, exitCode, true);
    EXPECT_EQ(exitCode, 0u) << uninstalled;
    EXPECT_EQ(ReadText(kWinlogon, "Shell"), previous);
    EXPECT_EQ(ReadText(kRecord, "What"), "(absent)");
}

} // namespace
