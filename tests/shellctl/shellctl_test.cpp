// shellctl install, uninstall and status against the prefix's registry, read
// back with reg query: one table of scenarios, each from a known Shell value.

#include "harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace harness;

namespace {

constexpr DWORD kTimeout = 120000;
constexpr char kAbsent[] = "(absent)";
constexpr char kNone[] = "(REG_NONE, no data)"; // a value of no type and no bytes
constexpr char kWinlogon[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

std::wstring Wide(const std::string &utf8)
{
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                                    static_cast<int>(wide.size())));
    return wide;
}

// The Shell value, in UTF-8, or kAbsent: read wide, as stored, so that a
// character outside the ANSI code page shows as itself.
std::string ShellValue(HKEY hive)
{
    wchar_t value[1024];
    DWORD size = sizeof(value), type = REG_NONE;
    if (RegGetValueW(hive, Wide(kWinlogon).c_str(), L"Shell", RRF_RT_ANY | RRF_NOEXPAND, &type, value, &size) !=
        ERROR_SUCCESS)
        return kAbsent;
    if (type == REG_NONE && size == 0)
        return kNone;
    char utf8[4096];
    const int length = WideCharToMultiByte(CP_UTF8, 0, value, -1, utf8, sizeof(utf8), nullptr, nullptr);
    return length > 0 ? utf8 : kAbsent;
}

void SetShellValue(HKEY hive, const char *utf8)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(hive, kWinlogon, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr), ERROR_SUCCESS);
    if (utf8 != nullptr && std::string(utf8) == kNone) {
        RegSetValueExW(key, L"Shell", 0, REG_NONE, nullptr, 0);
    } else if (utf8 != nullptr) {
        const std::wstring value = Wide(utf8);
        RegSetValueExW(key, L"Shell", 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    } else {
        RegDeleteValueA(key, "Shell");
    }
    RegCloseKey(key);
}

void ForgetInstall(HKEY hive)
{
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Brevant");
    RegDeleteTreeA(hive, "Software\\Brevant");
}

std::string Replace(std::string text, const std::string &what, const std::string &with)
{
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

constexpr char kWatched[] = "\"$DIR\\shellwatch.exe\""; // this installation, as install sets it
constexpr char kOtherWatched[] = "\"$OTHER\\shellwatch.exe\""; // a second installation's

struct Step {
    const char *arguments;
    DWORD exitCode;
    const char *shellAfter;  // the value ($DIR: the installation's directory; $OTHER: the second one's), kAbsent or kNone
    const char *output = ""; // a line the output must hold ($DIR, $OTHER as above)
    const char *setByHand = nullptr; // the Shell value the user sets before the step
    const char *userSetByHand = nullptr; // likewise in the user's own hive, for an --all-users case
    bool byOther = false;    // run by the second installation's shellctl
};

TEST(Shellctl, InstallStatusUninstall)
{
    const struct {
        const char *name;
        HKEY hive;
        const char *previous; // null: no Shell value
        const char *scenario; // the stand-in's; null: no modcore.dll at all
        bool volatileVendorKey; // the product key cannot be created under it
        std::vector<Step> steps;
        const char *olderSaved = nullptr; // installed by an earlier shellctl, which kept two values: this previous
    } cases[] = {
        {"previous value", HKEY_CURRENT_USER, "explorer.exe", "", false,
         {{"status", 0, "explorer.exe", "this installation's launcher"},
          {"install", 0, kWatched, "Run new task"},
          {"status", 0, kWatched, "the installation passes the checks"},
          {"uninstall", 0, "explorer.exe"},
          {"uninstall", 3, "explorer.exe", "nothing saved"}}},
        {"no previous value", HKEY_CURRENT_USER, nullptr, "", false,
         {{"install", 0, kWatched}, {"uninstall", 0, kAbsent}}},
        {"installed twice", HKEY_CURRENT_USER, "other.exe -x", "", false,
         {{"install", 0, kWatched}, {"install", 0, kWatched, "puts back: other.exe -x"},
          {"uninstall", 0, "other.exe -x"}}},
        {"core missing", HKEY_CURRENT_USER, "explorer.exe", nullptr, false,
         {{"install", 1, "explorer.exe", "black screen"}, {"uninstall", 3, "explorer.exe"}}},
        {"core fails a check", HKEY_CURRENT_USER, "explorer.exe", "[ShellMain]\nqueue=0\n", false,
         {{"install", 1, "explorer.exe", "black screen"}, {"install --force", 0, kWatched},
          {"status", 1, kWatched, "FAILS the checks"}, {"uninstall", 0, "explorer.exe"}}},
        {"registry write fails", HKEY_CURRENT_USER, "explorer.exe", "", true,
         {{"install", 4, "explorer.exe", "Brevant"}}},
        {"all users", HKEY_LOCAL_MACHINE, "explorer.exe", "", false,
         {{"install --all-users", 0, kWatched, "shellctl.exe\" uninstall --all-users"},
          {"install --all-users", 0, kWatched, "your own Shell under HKEY_CURRENT_USER", nullptr, "mine.exe"},
          {"uninstall --all-users", 0, "explorer.exe"}}},
        {"previous value outside the code page", HKEY_CURRENT_USER, u8"C:\\Программы\\sh.exe", "", false,
         {{"install", 0, kWatched}, {"uninstall", 0, u8"C:\\Программы\\sh.exe"}}},
        {"set by hand after install", HKEY_CURRENT_USER, "explorer.exe", "", false,
         {{"install", 0, kWatched},
          {"uninstall", 0, "mine.exe", "not this installation's: left as it is", "mine.exe"},
          {"uninstall", 3, "mine.exe", "nothing saved"}}},
        // The machine's uninstall finds nothing of its own, and touches nothing of the user's.
        {"uninstall --all-users with nothing saved for the machine", HKEY_CURRENT_USER, "mine.exe", "", false,
         {{"install", 0, kWatched},
          {"uninstall --all-users", 3, kWatched, "nothing saved"},
          {"uninstall", 0, "mine.exe"}}},
        // As an administrator writes it: unquoted, in a folder with blanks. Ours all the same.
        {"unquoted in a folder with blanks", HKEY_CURRENT_USER, "$DIR\\shellwatch.exe --restarts 1", "", false,
         {{"status", 0, "$DIR\\shellwatch.exe --restarts 1", "launcher.exe): yes"},
          {"install", 0, kWatched, "uninstall puts back: no value"},
          {"uninstall", 0, kAbsent}}},
        // Each installation undoes only its own, and one that saved the other falls back past it.
        {"two installations", HKEY_CURRENT_USER, "explorer.exe", "", false,
         {{"install", 0, kWatched},
          {"install", 0, kOtherWatched, "uninstall puts back: \"$DIR\\shellwatch.exe\"", nullptr, nullptr, true},
          {"uninstall", 0, kOtherWatched, "$OTHER now falls back to explorer.exe"},
          {"uninstall", 0, "explorer.exe", "", nullptr, nullptr, true}}},
        {"a REG_NONE value without data", HKEY_CURRENT_USER, kNone, "", false,
         {{"install", 0, kWatched}, {"uninstall", 0, kNone}}},
        {"watcher settings and launcher switches", HKEY_CURRENT_USER, "explorer.exe", "", false,
         {{"install --restarts 5 --min-run 9 -- -s0 -n", 0, "\"$DIR\\shellwatch.exe\" --restarts 5 --min-run 9 -- -s0 -n"},
          {"install --restarts x", 2, "\"$DIR\\shellwatch.exe\" --restarts 5 --min-run 9 -- -s0 -n"},
          // What the watcher could not take as given is refused, with its range.
          {"install --restarts 1000", 2, "\"$DIR\\shellwatch.exe\" --restarts 5 --min-run 9 -- -s0 -n",
           "--restarts 1000 is out of its range, 0 to 100"},
          {"install --min-run 0", 2, "\"$DIR\\shellwatch.exe\" --restarts 5 --min-run 9 -- -s0 -n", "2 to 86400 s"},
          {"install --ready-timeout 0", 2, "\"$DIR\\shellwatch.exe\" --restarts 5 --min-run 9 -- -s0 -n",
           "1 to 86400 s"},
          {"install --direct -- -s0", 0, "\"$DIR\\launcher.exe\" -s0"},
          {"status", 0, "\"$DIR\\launcher.exe\" -s0", "started directly"},
          {"uninstall", 0, "explorer.exe"}}},
        {"installed by an earlier shellctl", HKEY_CURRENT_USER, kWatched, "", false,
         {{"status", 0, kWatched, "uninstall puts back: old.exe"}, {"uninstall", 0, "old.exe"},
          {"uninstall", 3, "old.exe", "nothing saved"}},
         "old.exe"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const char *core = c.scenario != nullptr ? "modcore.dll" : "config.dll";
        const std::string dir =
            MakeInstall(std::string("shellctl_") + c.name, {{core, core}}, c.scenario != nullptr ? c.scenario : "");
        const std::string other = MakeInstall(std::string("shellctl_other ") + c.name, {{core, core}});
        for (const std::string &each : {dir, other}) {
            for (const char *program : {"shellctl.exe", "componentcheck.exe", "shellwatch.exe"})
                ASSERT_TRUE(CopyInto(ProgramDir() + "\\" + program, each + "\\" + program));
        }
        const auto placed = [&](const char *text) { return Replace(Replace(text, "$DIR", dir), "$OTHER", other); };
        SetShellValue(c.hive, c.previous != nullptr ? placed(c.previous).c_str() : nullptr);
        ForgetInstall(c.hive);
        if (c.olderSaved != nullptr) {
            HKEY product = nullptr;
            const DWORD one = 1;
            ASSERT_EQ(RegCreateKeyExA(c.hive, "Software\\Brevant\\Shell start-up", 0, nullptr, 0, KEY_SET_VALUE,
                                      nullptr, &product, nullptr),
                      ERROR_SUCCESS);
            RegSetValueExA(product, "PreviousShell", 0, REG_SZ, reinterpret_cast<const BYTE *>(c.olderSaved),
                           static_cast<DWORD>(strlen(c.olderSaved) + 1));
            RegSetValueExA(product, "PreviousShellSaved", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one),
                           sizeof(one));
            RegCloseKey(product);
        }
        HKEY vendor = nullptr;
        if (c.volatileVendorKey) {
            ASSERT_EQ(RegCreateKeyExA(c.hive, "Software\\Brevant", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                      nullptr, &vendor, nullptr),
                      ERROR_SUCCESS);
            RegCloseKey(vendor);
        }
        for (const Step &step : c.steps) {
            SCOPED_TRACE(step.arguments);
            if (step.setByHand != nullptr)
                SetShellValue(c.hive, step.setByHand);
            if (step.userSetByHand != nullptr)
                SetShellValue(HKEY_CURRENT_USER, step.userSetByHand);
            DWORD exitCode = 0;
            const std::string output = RunAndCapture(
                "\"" + (step.byOther ? other : dir) + "\\shellctl.exe\" " + step.arguments, kTimeout, exitCode, true);
            EXPECT_EQ(exitCode, step.exitCode) << output;
            EXPECT_NE(output.find(placed(step.output)), std::string::npos) << output;
            EXPECT_EQ(ShellValue(c.hive), placed(step.shellAfter));
        }
        SetShellValue(c.hive, c.hive == HKEY_LOCAL_MACHINE ? "explorer.exe" : nullptr);
        if (c.hive == HKEY_LOCAL_MACHINE)
            SetShellValue(HKEY_CURRENT_USER, nullptr);
        ForgetInstall(c.hive);
    }
}

// running and quit act on this installation's launcher only, never on
// another program of the same name.
TEST(Shellctl, ControlsOnlyItsOwnLauncher)
{
    const std::string mine = MakeFullInstall("shellctl_mine"), theirs = MakeFullInstall("shellctl_theirs");
    for (const std::string &dir : {mine, theirs})
        ASSERT_TRUE(CopyInto(ProgramDir() + "\\shellctl.exe", dir + "\\shellctl.exe"));
    DWORD exitCode = 0;
    const std::string shellctl = "\"" + mine + "\\shellctl.exe\" ";
    const std::string none = RunAndCapture(shellctl + "ready 500", kTimeout, exitCode);
    EXPECT_EQ(exitCode, 1u) << none;
    EXPECT_NE(none.find("not ready after 0 s: no launcher.exe of " + mine + " runs"), std::string::npos) << none;
    Launcher launcher(theirs, "-m1");
    ASSERT_TRUE(WaitForNamedEvent("ShellIsReadyEvent", kTimeout));
    RunAndCapture(shellctl + "running", kTimeout, exitCode);
    EXPECT_EQ(exitCode, 1u) << "another installation's launcher taken for this one's";
    const std::string quit = RunAndCapture(shellctl + "quit --force-after 1000", kTimeout, exitCode);
    EXPECT_NE(quit.find("nothing to stop"), std::string::npos) << quit;
    EXPECT_TRUE(launcher.Running()) << "another installation's launcher was ended";

    // Its own shellctl: ready once the shell is, not once it has ended.
    const std::string ready = RunAndCapture("\"" + theirs + "\\shellctl.exe\" ready 30000", kTimeout, exitCode);
    EXPECT_EQ(exitCode, 0u) << ready;
    EXPECT_NE(ready.find("shell ready"), std::string::npos) << ready;
    EXPECT_TRUE(launcher.Running());
    RunAndCapture("\"" + theirs + "\\shellctl.exe\" quit", kTimeout, exitCode);
    EXPECT_EQ(launcher.WaitForExit(kTimeout), 0u) << "its own shellctl did not quit it";
}

// A directory whose files' paths pass the system's limit: refused, saying so.
TEST(Shellctl, RefusesADirectoryTooLongForTheShell)
{
    constexpr size_t kLength = 247; // the longest a directory may be made with, in UTF-16 units
    const std::string base = ProgramDir() + "\\installs\\shellctl_long_";
    ASSERT_LT(WideLength(base), kLength);
    const std::string dir = MakeFullInstall("shellctl_long_" + std::string(kLength - WideLength(base), 'x'));
    ASSERT_EQ(WideLength(dir), kLength);
    DWORD exitCode = 0;
    const std::string output =
        RunAndCapture("\"" + ProgramDir() + "\\shellctl.exe\" install \"" + dir + "\"", kTimeout, exitCode, true);
    EXPECT_EQ(exitCode, 1u) << output;
    EXPECT_NE(output.find("shellwatch.exe is longer than the 259 characters a Windows path may have"),
              std::string::npos)
        << output;
}

} // namespace
