// launcher.exe end to end: the log-on event, the ready event, the single-
// instance guard and its question box, and the exit code on every way out.
// Uses the shell's global object names, so it never runs beside another such test.

#include "harness.h"

#include <gtest/gtest.h>

using namespace harness;

namespace {

constexpr DWORD kTimeout = 15000;
constexpr char kQuestionCaption[] = "Brevant - Continue Loading?";
constexpr char kQuestionText[] =
    "Another instance of your shell is already open.\r\n"
    "Running a new instance may cause conflicts.\r\n\r\n"
    "To disable this warning use the command line switch: -m[0/1]";

bool CoreIsUp(const std::string &dir)
{
    return WaitForJournal(dir, "modcore signalled ShellMain", kTimeout);
}

TEST(Lifecycle, SetsBothEventsAndEndsOnQuit)
{
    HANDLE logon = CreateEventA(nullptr, TRUE, FALSE, "msgina: ShellReadyEvent");
    // The core signals only on the thread that loaded it, as the contract says.
    const std::string dir = MakeFullInstall("lifecycle_run", "[ShellMain]\nsignal_gate=gate_core\nsame_thread=1\n");
    Gate core("gate_core");
    Launcher shell(dir);
    ASSERT_TRUE(shell.Started());

    EXPECT_EQ(WaitForSingleObject(logon, kTimeout), WAIT_OBJECT_0);
    // Ready only once the last component, the core, has signalled: not while
    // it is held at its gate.
    ASSERT_TRUE(WaitForJournal(dir, "modcore enter ShellMain mode=run", kTimeout));
    Sleep(200);
    HANDLE ready = OpenEventA(SYNCHRONIZE, FALSE, "ShellIsReadyEvent");
    EXPECT_TRUE(ready == nullptr || WaitForSingleObject(ready, 0) == WAIT_TIMEOUT);
    if (ready != nullptr)
        CloseHandle(ready);
    core.Open();
    ASSERT_TRUE(WaitForNamedEvent("ShellIsReadyEvent", kTimeout));
    EXPECT_GE(IndexOf(ReadJournal(dir), "modcore signalled ShellMain"), 0);
    EXPECT_TRUE(shell.Running());

    ASSERT_TRUE(shell.Quit());
    EXPECT_EQ(shell.WaitForExit(kTimeout), 0u);
    CloseHandle(logon);
}

TEST(Lifecycle, SecondCopyMatrix)
{
    const std::string firstDir = MakeFullInstall("lifecycle_first");
    Launcher first(firstDir);
    ASSERT_TRUE(CoreIsUp(firstDir));
    const size_t firstJournal = ReadJournal(firstDir).size();

    HANDLE logon = CreateEventA(nullptr, TRUE, FALSE, "msgina: ShellReadyEvent");

    { // Without -m the user is asked; No ends the copy quietly.
        ResetEvent(logon);
        const std::string dir = MakeFullInstall("lifecycle_ask_no");
        Launcher second(dir);
        HWND box = WaitForWindow(kQuestionCaption, kTimeout);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(MessageBoxText(box), kQuestionText);
        EXPECT_EQ(WaitForSingleObject(logon, 0), WAIT_OBJECT_0); // set before the guard asked
        Press(box, IDNO);
        EXPECT_EQ(second.WaitForExit(kTimeout), 0u);
        EXPECT_TRUE(ReadJournal(dir).empty());
    }
    { // -m0 ends quietly, yet still tells the log-on process.
        ResetEvent(logon);
        const std::string dir = MakeFullInstall("lifecycle_m0");
        Launcher second(dir, "-m0");
        EXPECT_EQ(second.WaitForExit(kTimeout), 0u);
        EXPECT_EQ(WaitForSingleObject(logon, 0), WAIT_OBJECT_0);
        EXPECT_EQ(FindWindowA(nullptr, kQuestionCaption), nullptr);
        EXPECT_TRUE(ReadJournal(dir).empty());
    }
    { // -m1 starts without a question.
        const std::string dir = MakeFullInstall("lifecycle_m1");
        Launcher second(dir, "-M1");
        ASSERT_TRUE(CoreIsUp(dir));
        EXPECT_EQ(FindWindowA(nullptr, kQuestionCaption), nullptr);
        ASSERT_TRUE(second.Quit());
        EXPECT_EQ(second.WaitForExit(kTimeout), 0u);
    }
    { // Yes starts the second copy all the same.
        const std::string dir = MakeFullInstall("lifecycle_ask_yes");
        Launcher second(dir);
        ASSERT_TRUE(Answer(kQuestionCaption, IDYES, kTimeout));
        ASSERT_TRUE(CoreIsUp(dir));
        ASSERT_TRUE(second.Quit());
        EXPECT_EQ(second.WaitForExit(kTimeout), 0u);
    }

    // None of this touched the first copy.
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(ReadJournal(firstDir).size(), firstJournal);
    ASSERT_TRUE(first.Quit());
    EXPECT_EQ(first.WaitForExit(kTimeout), 0u);
    CloseHandle(logon);
}

TEST(Lifecycle, FirstCopyWithM0RunsNormally)
{
    const std::string dir = MakeFullInstall("lifecycle_alone_m0");
    Launcher shell(dir, "-m0");
    ASSERT_TRUE(CoreIsUp(dir));
    ASSERT_TRUE(shell.Quit());
    EXPECT_EQ(shell.WaitForExit(kTimeout), 0u);
}

TEST(Lifecycle, EndsAtOnceWithoutComponents)
{
    // No core library: its thread ends at once, and so does the shell.
    const std::string dir = MakeInstall("lifecycle_empty", {});
    Launcher shell(dir, "-n -s0");
    EXPECT_EQ(shell.WaitForExit(kTimeout), 0u);
}

} // namespace
