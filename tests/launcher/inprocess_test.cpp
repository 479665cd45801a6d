// The launcher's logic driven in-process, with stand-in components beside
// this program: a full run leaves no handle and no state behind.
// Uses the shell's global object names, so it never runs beside another such test.

#include "Shell.h"
#include "harness.h"

#include "counts.h"

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

// What a run holds while it runs, gone once it has ended.
void ExpectNothingHeld()
{
    for (const char *library : {"config.dll", "auxhost.dll", "modcore.dll"})
        EXPECT_EQ(GetModuleHandleA(library), nullptr) << library << " is still loaded";
    const HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "ShellMutex");
    EXPECT_EQ(mutex, nullptr) << "ShellMutex is still held";
    if (mutex != nullptr)
        CloseHandle(mutex);
}

TEST(InProcess, FullRunReleasesEverything)
{
    const std::string dir = ProgramDir();
    DeleteFileA((dir + "\\journal.txt").c_str());
    WriteText(dir + "\\scenario.ini", "[ShellMain]\nmode=return\ndelay=200\n");
    const std::string commandLine = "\"" + dir + "\\launcher.exe\" -s1 -f" + dir + "\\scenario.ini";

    EXPECT_EQ(Shell().Run(commandLine.c_str()), 0); // warms up what the runtime keeps
    ExpectNothingHeld();

    const long long before = CountOpenHandles();
    EXPECT_EQ(Shell().Run(commandLine.c_str()), 0);
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
    Shell warmUp; // what the runtime keeps after a first guard
    ASSERT_TRUE(warmUp.CheckSingleInstance(commandLine.c_str()));
    warmUp.FinalCleanup();
    const long long before = CountOpenHandles();
    Shell shell;
    ASSERT_TRUE(shell.CheckSingleInstance(commandLine.c_str()));
    EXPECT_TRUE(shell.Settings().ConfigFile.has_value());
    EXPECT_GT(CountOpenHandles(), before); // the mutex

    shell.FinalCleanup();
    shell.FinalCleanup();
    shell.StopComponents(); // nothing to stop: a no-op now
    ExpectNothingHeld();
    EXPECT_EQ(CountOpenHandles(), before);
}

TEST(InProcess, InstallDirIsTheProgramsDirectory)
{
    Shell shell;
    const InstallDir *dir = shell.GetInstallDir();
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(dir->forComponents, ProgramDir());
    EXPECT_EQ(dir->path.size(), WideLength(ProgramDir())); // the same folder, in whatever letters
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
    using Mode = StartupModes;
    const struct {
        Mode mode;
        bool shift;
        const char *entry;
    } cases[] = {
        {Mode::Normal, false, "SS_RunStartup"}, {Mode::Skipped, false, nullptr}, {Mode::Forced, false, "SS_ForceStartup"},
        {Mode::Normal, true, nullptr},          {Mode::Skipped, true, nullptr},  {Mode::Forced, true, nullptr}, // Shift wins even over -s1
    };
    for (const auto &c : cases)
        EXPECT_STREQ(ChooseStartupEntry(c.mode, c.shift), c.entry) << static_cast<int>(c.mode) << c.shift;
}

} // namespace
