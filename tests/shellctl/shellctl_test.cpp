// shellctl install, uninstall and status against the prefix's registry, read
// back with reg query: one table of scenarios, each from a known Shell value.

#include "harness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace harness;

namespace {

constexpr DWORD kTimeout = 120000;
constexpr char kAbsent[] = "(absent)";
constexpr char kWinlogon[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

std::string HiveName(HKEY hive)
{
    return hive == HKEY_LOCAL_MACHINE ? "HKLM" : "HKCU";
}

// The Shell value as reg query shows it, or kAbsent.
std::string ShellValue(HKEY hive)
{
    DWORD exitCode = 0;
    const std::string output =
        RunAndCapture("reg query \"" + HiveName(hive) + "\\" + kWinlogon + "\" /v Shell", kTimeout, exitCode);
    const std::string marker = "REG_SZ    ";
    const size_t at = output.find(marker);
    if (exitCode != 0 || at == std::string::npos)
        return kAbsent;
    const std::string value = output.substr(at + marker.size());
    return value.substr(0, value.find_first_of("\r\n"));
}

void SetShellValue(HKEY hive, const char *value)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(hive, kWinlogon, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr), ERROR_SUCCESS);
    if (value != nullptr)
        RegSetValueExA(key, "Shell", 0, REG_SZ, reinterpret_cast<const BYTE *>(value), lstrlenA(value) + 1);
    else
        RegDeleteValueA(key, "Shell");
    RegCloseKey(key);
    RegDeleteKeyA(hive, "Software\\Brevant\\Shell start-up");
    RegDeleteKeyA(hive, "Software\\Brevant");
}

struct Step {
    const char *arguments;
    DWORD exitCode;
    const char *shellAfter; // "launcher" for this installation's, else the value or kAbsent
    const char *output = ""; // a line the output must hold
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
    } cases[] = {
        {"previous value", HKEY_CURRENT_USER, "explorer.exe", "", false,
         {{"status", 0, "explorer.exe", "this installation's launcher"},
          {"install", 0, "launcher", "Run new task"},
          {"status", 0, "launcher", "the installation passes the checks"},
          {"uninstall", 0, "explorer.exe"},
          {"uninstall", 3, "explorer.exe", "nothing saved"}}},
        {"no previous value", HKEY_CURRENT_USER, nullptr, "", false,
         {{"install", 0, "launcher"}, {"uninstall", 0, kAbsent}}},
        {"installed twice", HKEY_CURRENT_USER, "other.exe -x", "", false,
         {{"install", 0, "launcher"}, {"install", 0, "launcher", "puts back: other.exe -x"},
          {"uninstall", 0, "other.exe -x"}}},
        {"core missing", HKEY_CURRENT_USER, "explorer.exe", nullptr, false,
         {{"install", 1, "explorer.exe", "black screen"}, {"uninstall", 3, "explorer.exe"}}},
        {"core fails a check", HKEY_CURRENT_USER, "explorer.exe", "[ShellMain]\nqueue=0\n", false,
         {{"install", 1, "explorer.exe", "black screen"}, {"install --force", 0, "launcher"},
          {"status", 1, "launcher", "FAILS the checks"}, {"uninstall", 0, "explorer.exe"}}},
        {"registry write fails", HKEY_CURRENT_USER, "explorer.exe", "", true,
         {{"install", 4, "explorer.exe", "Brevant"}}},
        {"all users", HKEY_LOCAL_MACHINE, "explorer.exe", "", false,
         {{"install --all-users", 0, "launcher"}, {"uninstall --all-users", 0, "explorer.exe"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const char *core = c.scenario != nullptr ? "modcore.dll" : "config.dll";
        const std::string dir =
            MakeInstall(std::string("shellctl_") + c.name, {{core, core}}, c.scenario != nullptr ? c.scenario : "");
        for (const char *program : {"shellctl.exe", "componentcheck.exe"})
            ASSERT_TRUE(CopyFileA((ProgramDir() + "\\" + program).c_str(), (dir + "\\" + program).c_str(), FALSE));
        SetShellValue(c.hive, c.previous);
        HKEY vendor = nullptr;
        if (c.volatileVendorKey) {
            ASSERT_EQ(RegCreateKeyExA(c.hive, "Software\\Brevant", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                      nullptr, &vendor, nullptr),
                      ERROR_SUCCESS);
            RegCloseKey(vendor);
        }
        const std::string launcher = "\"" + dir + "\\launcher.exe\"";
        for (const Step &step : c.steps) {
            SCOPED_TRACE(step.arguments);
            DWORD exitCode = 0;
            const std::string output =
                RunAndCapture("\"" + dir + "\\shellctl.exe\" " + step.arguments, kTimeout, exitCode, true);
            EXPECT_EQ(exitCode, step.exitCode) << output;
            EXPECT_NE(output.find(step.output), std::string::npos) << output;
            const std::string expected = std::string(step.shellAfter) == "launcher" ? launcher : step.shellAfter;
            EXPECT_EQ(ShellValue(c.hive), expected);
        }
        SetShellValue(c.hive, c.hive == HKEY_LOCAL_MACHINE ? "explorer.exe" : nullptr);
    }
}

} // namespace
