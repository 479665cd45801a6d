// The launcher's logic driven in-process, with stand-in components beside
// this program: a full run leaves no handle and no state behind.
// Uses the shell's global object names, so it never runs beside another such test.

#include "LaunchSettings.h"
#include "components.h"
#include "harness.h"

#include "counts.h"
#include "lifecycle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

using namespace harness;

namespace {

// The process's kernel handles, counted as the system or Wine allows.
long long CountOpenHandles()
{
    return ChooseHandleCounter().count();
}

void ExpectNothingHeld()
{
    EXPECT_EQ(g_Settings.InstallDir, nullptr);
    EXPECT_EQ(g_Settings.ConfigFile, nullptr);
    EXPECT_FALSE(g_InstanceMutex);
    EXPECT_FALSE(g_ShellIsReadyHandle);
    EXPECT_FALSE(g_ConfigLibrary);
    EXPECT_FALSE(g_ServicesLibrary);
    EXPECT_FALSE(g_CoreThread);
    EXPECT_FALSE(g_ServiceThread);
    EXPECT_FALSE(g_StartupThread);
}

TEST(InProcess, FullRunReleasesEverything)
{
    const std::string dir = ProgramDir();
    DeleteFileA((dir + "\\journal.txt").c_str());
    std::ofstream(dir + "\\scenario.ini") << "[ShellMain]\nmode=return\ndelay=200\n";
    const std::string commandLine = "\"" + dir + "\\launcher.exe\" -s1 -f" + dir + "\\scenario.ini";

    EXPECT_EQ(LauncherMain(commandLine.c_str()), 0); // warms up what the runtime keeps
    ExpectNothingHeld();

    const long long before = CountOpenHandles();
    EXPECT_EQ(LauncherMain(commandLine.c_str()), 0);
    EXPECT_EQ(CountOpenHandles(), before);
    ExpectNothingHeld();

    const auto journal = ReadJournal(dir);
    EXPECT_GE(IndexOf(journal, "auxhost enter SS_ForceStartup mode=return"), 0);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "modcore return ShellMain 0"), 2);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "config unload"), 2);
}

TEST(InProcess, ReleasingTwiceIsHarmless)
{
    const std::string commandLine = "launcher.exe -m1 -f" + MakeFileForSwitch("shell.rc");
    const long long before = CountOpenHandles();
    ASSERT_TRUE(CheckSingleInstance(commandLine.c_str()));
    EXPECT_NE(g_Settings.InstallDir, nullptr);
    EXPECT_NE(g_Settings.ConfigFile, nullptr);
    EXPECT_TRUE(g_InstanceMutex);

    FinalCleanup();
    FinalCleanup();
    StopComponents(); // nothing to stop: a no-op now
    ExpectNothingHeld();
    EXPECT_EQ(CountOpenHandles(), before);
}

TEST(InProcess, InstallDirIsTheProgramsDirectory)
{
    EXPECT_EQ(std::string(GetInstallDir()), ProgramDir());
    EXPECT_EQ(GetInstallDir(), GetInstallDir()); // cached
    FinalCleanup();
}

TEST(InProcess, FileExistsOnlyForFiles)
{
    const std::string dir = ProgramDir();
    EXPECT_TRUE(FileExists((dir + "\\config.dll").c_str()));
    EXPECT_FALSE(FileExists(dir.c_str()));
    EXPECT_FALSE(FileExists((dir + "\\missing.rc").c_str()));
    EXPECT_FALSE(FileExists(""));
    EXPECT_FALSE(FileExists((" " + dir + "\\config.dll").c_str()));
}

TEST(StartupChoice, ShiftAndSwitches)
{
    const struct {
        int mode;
        bool shift;
        const char *entry;
    } cases[] = {
        {0, false, "SS_RunStartup"}, {1, false, nullptr}, {2, false, "SS_ForceStartup"},
        {0, true, nullptr},          {1, true, nullptr},  {2, true, nullptr}, // Shift wins even over -s1
    };
    for (const auto &c : cases)
        EXPECT_STREQ(ChooseStartupEntry(c.mode, c.shift), c.entry) << c.mode << c.shift;
}

} // namespace
