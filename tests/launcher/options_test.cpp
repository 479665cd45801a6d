// The command-line scan and the installation-directory split, table-driven.
// Portable: runs natively under the sanitizers and under Wine.

#include "LaunchSettings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

std::set<std::string> g_existing;
std::vector<std::string> g_tested;

bool FakeFileExists(const char *path)
{
    g_tested.emplace_back(path);
    return g_existing.count(path) != 0;
}

struct ScanCase {
    const char *line;
    int instance, startup, services, serviceMain;
    const char *config; // null: none accepted
};

const ScanCase kScanCases[] = {
    {"launcher.exe", 0, 0, 1, 1, nullptr},
    {"C:\\Shell\\launcher.exe -M1 -S0", 2, 1, 1, 1, nullptr},
    {"C:\\Shell\\launcher.exe -m0 -s1 -n -t", 1, 2, 0, 0, nullptr},
    {"launcher.exe -fC:\\Cfg\\Shell.rc -n", 0, 0, 0, 1, "c:\\cfg\\shell.rc"},
    {"launcher.exe -f c:\\a.rc", 0, 0, 1, 1, nullptr}, // tests " c:\a.rc"
    {"launcher.exe -fc:\\my-dir\\x.rc", 0, 0, 1, 1, nullptr},
    {"launcher.exe -fc:\\my-new\\x.rc", 0, 0, 0, 1, nullptr},
    {"launcher.exe -fa.rc-n", 0, 0, 0, 1, "a.rc"},
    {"launcher.exe -fa.rc -fb.rc", 0, 0, 1, 1, "a.rc"}, // the first existing one wins
    {"launcher.exe -fmissing.rc -fb.rc", 0, 0, 1, 1, "b.rc"},
    {"launcher.exe -fc:\\dir", 0, 0, 1, 1, nullptr}, // a directory is no file
    {"launcher.exe --n", 0, 0, 1, 1, nullptr},
    {"launcher.exe -m", 0, 0, 1, 1, nullptr},
    {"launcher.exe -mx", 0, 0, 1, 1, nullptr},
    {"launcher.exe -m7", 0, 0, 1, 1, nullptr},
    {"launcher.exe -m1-", 2, 0, 1, 1, nullptr},
    {"launcher.exe -", 0, 0, 1, 1, nullptr},
    {"launcher.exe -f", 0, 0, 1, 1, nullptr},
    {"launcher.exe -f   -n", 0, 0, 0, 1, nullptr},
    {"launcher.exe -z -q -n", 0, 0, 0, 1, nullptr},
    {"launcher.exe x-n", 0, 0, 0, 1, nullptr}, // a dash anywhere starts a switch
    {"launcher.exe -m0 -m1", 2, 0, 1, 1, nullptr},
    // The executable's own path is never scanned.
    {"C:\\Tools\\my-new-shell\\launcher.exe", 0, 0, 1, 1, nullptr},
    {"C:\\x-test\\launcher.exe -s0", 0, 1, 1, 1, nullptr},
    {"\"C:\\Program Files\\my-new-shell\\launcher.exe\" -t", 0, 0, 1, 0, nullptr},
    {"\"C:\\a-n b\\launcher.exe\"-m0", 1, 0, 1, 1, nullptr},
    {"  C:\\x-t\\launcher.exe", 0, 0, 1, 1, nullptr},
    {"\"C:\\unclosed-n -m0", 0, 0, 1, 1, nullptr},
};

const char *ConfigOf(const LaunchSettings &s)
{
    return s.ConfigFile ? s.ConfigFile->data() : nullptr;
}

TEST(ParseCommandLine, Table)
{
    g_existing = {"c:\\cfg\\shell.rc", "a.rc", "b.rc", "c:\\a.rc"};
    for (const auto &c : kScanCases) {
        const LaunchSettings s = ParseCommandLine(c.line, FakeFileExists);
        EXPECT_EQ(static_cast<int>(s.InstanceMode), c.instance) << c.line;
        EXPECT_EQ(static_cast<int>(s.StartupMode), c.startup) << c.line;
        EXPECT_EQ(s.ServicesEnabled, c.services != 0) << c.line;
        EXPECT_EQ(s.ServiceMainFlag, c.serviceMain) << c.line;
        EXPECT_STREQ(ConfigOf(s), c.config) << c.line;
    }
}

TEST(ParseCommandLine, ConfigValueIsTestedAsWritten)
{
    const struct {
        const char *line;
        std::vector<std::string> tested;
    } cases[] = {
        {"launcher.exe -f c:\\a.rc", {" c:\\a.rc"}},
        {"launcher.exe -fC:\\My-Dir\\x.rc", {"c:\\my"}},
        {"launcher.exe -f\tA.RC \t -n", {"\ta.rc"}},
        {"launcher.exe -f -fx", {"", "x"}},
    };
    g_existing.clear();
    for (const auto &c : cases) {
        g_tested.clear();
        ParseCommandLine(c.line, FakeFileExists);
        EXPECT_EQ(g_tested, c.tested) << c.line;
    }
}

TEST(ParseCommandLine, OverlongConfigValueIsDroppedNotCut)
{
    const std::string fits(259, 'a'), tooLong(260, 'a');
    g_existing = {fits, tooLong.substr(0, 259)};
    for (const auto &[value, accepted] : {std::pair{fits, true}, std::pair{tooLong, false},
                                          std::pair{fits + "   ", true}}) {
        g_tested.clear();
        const LaunchSettings s = ParseCommandLine(("launcher.exe -f" + value + " -n").c_str(), FakeFileExists);
        EXPECT_EQ(s.ConfigFile.has_value(), accepted) << value.size();
        EXPECT_EQ(g_tested.size(), accepted ? 1u : 0u);
        EXPECT_FALSE(s.ServicesEnabled);
    }
}

TEST(ParseCommandLine, NullLineGivesDefaults)
{
    const LaunchSettings s = ParseCommandLine(nullptr, FakeFileExists);
    EXPECT_EQ(s.InstanceMode, InstanceModes::AskOnSecondCopy);
    EXPECT_EQ(s.StartupMode, StartupModes::Normal);
    EXPECT_TRUE(s.ServicesEnabled);
    EXPECT_EQ(s.ServiceMainFlag, 1);
    EXPECT_FALSE(s.ConfigFile);
}

TEST(DirectoryPart, Table)
{
    const struct {
        const wchar_t *path;
        const wchar_t *dir; // null: none
    } cases[] = {
        {L"C:\\Shell\\launcher.exe", L"C:\\Shell"},
        {L"C:\\launcher.exe", L"C:"},
        {L"\\launcher.exe", nullptr},
        {L"launcher.exe", nullptr},
        {L"C:\\a\\b\\", L"C:\\a\\b"},
        {L"", nullptr},
        {L"C:\\Zo\u00eb-\u0418\u0432\u0430\\launcher.exe", L"C:\\Zo\u00eb-\u0418\u0432\u0430"},
    };
    for (const auto &c : cases) {
        const std::optional<std::wstring> dir = DirectoryPart(c.path);
        EXPECT_EQ(dir.has_value(), c.dir != nullptr);
        if (dir && c.dir != nullptr)
            EXPECT_EQ(*dir, c.dir);
    }
}

} // namespace
