// launcher.exe with stand-in component libraries: start order, switches,
// missing libraries and entry points, results, and the stop pattern.
// Uses the shell's global object names, so it never runs beside another such test.

#include "harness.h"

#include <gtest/gtest.h>

#include <dbghelp.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

using namespace harness;

namespace {

constexpr DWORD kTimeout = 15000;

// Lines starting with each of the prefixes stand in the journal in this order.
void ExpectInOrder(const std::vector<std::string> &journal, const std::vector<std::string> &prefixes)
{
    auto next = journal.begin();
    for (const auto &prefix : prefixes) {
        next = std::find_if(next, journal.end(),
                            [&](const std::string &line) { return line.rfind(prefix, 0) == 0; });
        if (next == journal.end()) {
            ADD_FAILURE() << "\"" << prefix << "\" missing or out of order";
            return;
        }
        ++next;
    }
}

size_t Count(const std::vector<std::string> &journal, const std::string &prefix)
{
    return std::count_if(journal.begin(), journal.end(),
                         [&](const std::string &line) { return line.rfind(prefix, 0) == 0; });
}

// Starts the shell, waits until it is ready, ends it, and returns the journal.
std::vector<std::string> RunToQuit(const std::string &dir, const std::string &switches = "")
{
    Launcher shell(dir, switches);
    EXPECT_TRUE(WaitForNamedEvent("ShellIsReadyEvent", kTimeout));
    EXPECT_TRUE(shell.Quit());
    EXPECT_EQ(shell.WaitForExit(kTimeout), 0u);
    return ReadJournal(dir);
}

// Starts the shell and waits for it to end by itself.
std::vector<std::string> RunToEnd(const std::string &dir, const std::string &switches = "")
{
    Launcher shell(dir, switches);
    EXPECT_EQ(shell.WaitForExit(kTimeout), 0u);
    return ReadJournal(dir);
}

TEST(Components, StartOneAfterAnotherAndStopInReverse)
{
    // Each entry takes a while to signal: nothing may start before it has.
    // The startup entry still runs at shutdown, watching for a stop message,
    // until the test opens its gate once the core is unloaded.
    const std::string dir = MakeFullInstall("components_order",
                                            "[ShellMain]\nsignal_delay=150\n"
                                            "[SS_Main]\nsignal_delay=150\n"
                                            "[SS_RunStartup]\nsignal_delay=150\nend_gate=gate_startup\n");
    Gate startup("gate_startup");
    {
        Launcher shell(dir);
        EXPECT_TRUE(WaitForNamedEvent("ShellIsReadyEvent", kTimeout));
        EXPECT_TRUE(shell.Quit());
        EXPECT_TRUE(startup.OpenAfter(dir, "modcore unload", kTimeout));
        EXPECT_EQ(shell.WaitForExit(kTimeout), 0u);
    }
    const auto journal = ReadJournal(dir);
    ExpectInOrder(journal, {
        "config load",
        "config FillBuffer dir=" + dir + " file=(null)",
        "auxhost load",
        "auxhost signalled SS_RunStartup",
        "auxhost SS_Main flag=1",
        "auxhost signalled SS_Main",
        "modcore load",
        "modcore ShellMain dir=" + dir,
        "modcore signalled ShellMain",
        "modcore stop ShellMain",
        "modcore return ShellMain 0",
        "modcore unload",
        "auxhost return SS_RunStartup 0",
        "auxhost stop SS_Main",
        "auxhost return SS_Main 0",
        "auxhost unload",
        "config FreeBuffer",
        "config unload",
    });
    EXPECT_EQ(IndexOf(journal, "auxhost stop SS_RunStartup"), -1); // the startup entry gets no message

    // Configuration on the main thread; each worker on a thread of its own;
    // the core library loaded and unloaded on the core thread.
    std::map<std::string, DWORD> thread;
    for (const auto &[id, line] : ReadJournalWithThreads(dir))
        thread.emplace(line, id);
    const DWORD mainThread = thread["config FillBuffer dir=" + dir + " file=(null)"];
    EXPECT_EQ(thread["config FreeBuffer"], mainThread);
    EXPECT_EQ(thread["auxhost load"], mainThread);
    const DWORD core = thread["modcore signalled ShellMain"];
    EXPECT_EQ(thread["modcore load"], core);
    EXPECT_EQ(thread["modcore unload"], core);
    const std::set<DWORD> threads = {mainThread, core, thread["auxhost signalled SS_Main"],
                                     thread["auxhost signalled SS_RunStartup"]};
    EXPECT_EQ(threads.size(), 4u);
}

// A directory outside the legacy code page (a user profile such as
// C:\\Users\\Жанна on a Western system): the shell's 8-bit text is UTF-8.
TEST(Components, StartFromADirectoryOutsideTheCodePage)
{
    const std::string dir = MakeFullInstall(u8"components_cyr ж");
    const auto journal = RunToQuit(dir);
    ExpectInOrder(journal, {"config FillBuffer dir=" + dir + " file=(null)", "auxhost signalled SS_Main",
                            "modcore ShellMain dir=" + dir, "modcore stop ShellMain"});
}

TEST(Components, DependenciesComeOnlyFromBesideTheLauncher)
{
    // dep.dll planted in the current directory and in a directory on PATH.
    const std::string cwd = MakeInstall("planted_cwd", {{"dep.dll", "dep.dll"}});
    const std::string onPath = MakeInstall("planted_path", {{"dep.dll", "dep.dll"}});
    char oldPath[32767] = "";
    GetEnvironmentVariableA("PATH", oldPath, sizeof(oldPath));
    SetEnvironmentVariableA("PATH", (onPath + ";" + oldPath).c_str());

    for (const bool beside : {true, false}) {
        SCOPED_TRACE(beside ? "dep.dll beside the launcher" : "no dep.dll beside the launcher");
        std::vector<std::pair<std::string, std::string>> files = {{"config_dep.dll", "config.dll"},
                                                                  {"modcore.dll", "modcore.dll"}};
        if (beside)
            files.emplace_back("dep.dll", "dep.dll");
        const std::string dir = MakeInstall(beside ? "dep_beside" : "dep_missing", files);
        Launcher shell(dir, "-n", cwd);
        ASSERT_TRUE(WaitForNamedEvent("ShellIsReadyEvent", kTimeout));
        ASSERT_TRUE(shell.Quit());
        EXPECT_EQ(shell.WaitForExit(kTimeout), 0u);

        const auto journal = ReadJournal(dir);
        EXPECT_EQ(IndexOf(journal, "dep load") >= 0, beside);
        // Without its dependency the configuration library is missing, not half-loaded.
        EXPECT_EQ(Count(journal, "config FillBuffer"), beside ? 1u : 0u);
        EXPECT_GE(IndexOf(journal, "modcore signalled ShellMain"), 0);
        EXPECT_TRUE(ReadJournal(cwd).empty()); // the planted copies are never mapped
        EXPECT_TRUE(ReadJournal(onPath).empty());
    }
    SetEnvironmentVariableA("PATH", oldPath);
}

TEST(Components, StartOrderHoldsAgainstLateSignals)
{
    // A second signal, or a signal and then -1 (after which the launcher
    // signals too), comes while the next component is starting: it must not
    // release the main thread before that component has signalled. The test
    // opens each gate in turn, so the order never rests on the clock.
    const struct {
        const char *name, *scenario;
        const char *lateWhen, *nextWhen; // journal lines opening gate_late, then gate_next
        std::vector<std::string> order;
    } cases[] = {
        {"signal_twice", "[SS_RunStartup]\nmode=twice\nend_gate=gate_late\n[SS_Main]\nsignal_gate=gate_next\n",
         "auxhost SS_Main flag=1", "auxhost signalled-again SS_RunStartup",
         {"auxhost signalled-again SS_RunStartup", "auxhost signalled SS_Main", "modcore load"}},
        {"signal_then_fail",
         "[SS_Main]\nmode=return\nend_gate=gate_late\nexit=-1\n[ShellMain]\nsignal_gate=gate_next\n",
         "modcore enter ShellMain mode=run", "auxhost return SS_Main -1",
         {"auxhost return SS_Main -1", "modcore signalled ShellMain", "auxhost unload"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = MakeFullInstall(c.name, c.scenario);
        Gate late("gate_late"), next("gate_next");
        Launcher shell(dir);
        EXPECT_TRUE(late.OpenAfter(dir, c.lateWhen, kTimeout));
        EXPECT_TRUE(next.OpenAfter(dir, c.nextWhen, kTimeout));
        EXPECT_TRUE(WaitForNamedEvent("ShellIsReadyEvent", kTimeout));
        EXPECT_TRUE(shell.Quit());
        EXPECT_EQ(shell.WaitForExit(kTimeout), 0u);
        ExpectInOrder(ReadJournal(dir), c.order);
    }
}

TEST(Components, SwitchesReachTheComponents)
{
    const struct {
        const char *name, *switches;
        std::vector<std::string> present, absent;
    } cases[] = {
        {"switch_none", "", {"auxhost SS_Main flag=1", "auxhost enter SS_RunStartup mode=return"}, {}},
        {"switch_n", "-n", {"modcore signalled ShellMain"}, {"auxhost load"}},
        {"switch_t", "-t", {"auxhost SS_Main flag=0"}, {"auxhost SS_Main flag=1"}},
        {"switch_s0", "-s0", {"auxhost signalled SS_Main"},
         {"auxhost enter SS_RunStartup mode=return", "auxhost enter SS_ForceStartup mode=return"}},
        {"switch_s1", "-S1", {"auxhost enter SS_ForceStartup mode=return"},
         {"auxhost enter SS_RunStartup mode=return"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto journal = RunToQuit(MakeFullInstall(c.name), c.switches);
        for (const auto &line : c.present)
            EXPECT_GE(IndexOf(journal, line), 0) << line;
        for (const auto &line : c.absent)
            EXPECT_EQ(IndexOf(journal, line), -1) << line;
    }
}

TEST(Components, ConfigFileReachesTheConfigurationLibrary)
{
    const std::string dir = MakeFullInstall("components_cfg");
    const std::string file = MakeFileForSwitch("shell.rc");
    std::string lowered = file;
    CharLowerA(lowered.data());

    const auto journal = RunToQuit(dir, "-fmissing.rc -f" + file + "  -n");
    EXPECT_GE(IndexOf(journal, "config FillBuffer dir=" + dir + " file=" + lowered), 0);
    EXPECT_EQ(IndexOf(journal, "auxhost load"), -1);
}

TEST(Components, MissingLibrariesAreSkipped)
{
    const std::string dir = MakeInstall("components_core_only", {{"modcore.dll", "modcore.dll"}});
    const auto journal = RunToQuit(dir);
    EXPECT_EQ(journal, (std::vector<std::string>{
                           "modcore load", "modcore ShellMain dir=" + dir, "modcore enter ShellMain mode=run",
                           "modcore signalled ShellMain", "modcore stop ShellMain",
                           "modcore return ShellMain 0", "modcore unload"}));
}

TEST(Components, MissingCoreEndsTheShellAtOnce)
{
    for (const char *core : {"", "empty.dll"}) { // no library, or one without ShellMain
        SCOPED_TRACE(core);
        std::vector<std::pair<std::string, std::string>> files = {{"config.dll", "config.dll"},
                                                                  {"auxhost.dll", "auxhost.dll"}};
        if (*core)
            files.emplace_back(core, "modcore.dll");
        const auto journal = RunToEnd(MakeInstall("components_no_core", files));
        ExpectInOrder(journal, {"config FillBuffer", "auxhost signalled SS_Main", "auxhost stop SS_Main",
                                "auxhost unload", "config FreeBuffer", "config unload"});
    }
}

TEST(Components, MissingEntryPointsAreSkipped)
{
    // A configuration library without its exports, services without SS_Main.
    const std::string dir = MakeInstall("components_no_exports", {{"empty.dll", "config.dll"},
                                                                  {"auxhost_nomain.dll", "auxhost.dll"},
                                                                  {"modcore.dll", "modcore.dll"}});
    Launcher shell(dir);
    ASSERT_TRUE(WaitForNamedEvent("ShellIsReadyEvent", kTimeout));
    // The service thread ended at once and the startup thread after its work:
    // the wait loop unloads the services library while the shell runs on.
    EXPECT_TRUE(WaitForJournal(dir, "auxhost unload", kTimeout));
    EXPECT_TRUE(shell.Running());
    ASSERT_TRUE(shell.Quit());
    EXPECT_EQ(shell.WaitForExit(kTimeout), 0u);

    const auto journal = ReadJournal(dir);
    ExpectInOrder(journal, {"empty load", "auxhost load", "auxhost return SS_RunStartup 0", "auxhost unload",
                            "modcore stop ShellMain", "empty unload"});
    EXPECT_EQ(Count(journal, "auxhost unload"), 1u);
    EXPECT_EQ(Count(journal, "empty "), 2u); // loaded and unloaded, never called
}

TEST(Components, CoreResultsEndTheShellInOrder)
{
    const struct {
        const char *name, *scenario;
        std::vector<std::string> order;
    } cases[] = {
        {"core_fail", "[ShellMain]\nmode=fail\n",
         {"modcore return ShellMain -1", "modcore unload", "auxhost stop SS_Main", "config FreeBuffer"}},
        {"core_return", "[ShellMain]\nmode=return\ndelay=300\n",
         {"modcore signalled ShellMain", "modcore return ShellMain 0", "auxhost stop SS_Main",
          "auxhost unload", "config FreeBuffer", "config unload"}},
        {"core_quit", "[ShellMain]\nmode=quit\ndelay=200\n",
         {"modcore posted-quit ShellMain", "modcore stop ShellMain", "auxhost stop SS_Main", "config unload"}},
        // Breaks the contract (ends without signalling): start-up must not hang.
        {"core_nosignal", "[ShellMain]\nmode=nosignal\nexit=5\n",
         {"modcore return ShellMain 5", "auxhost stop SS_Main", "config unload"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ExpectInOrder(RunToEnd(MakeFullInstall(c.name, c.scenario)), c.order);
    }
}

TEST(Components, ServicesUnloadedOnceWhenBothThreadsEnd)
{
    const struct {
        const char *name, *scenario, *first, *second;
    } cases[] = {
        // The second to end waits on gate_second until the first has ended.
        {"services_startup_first", "[SS_Main]\nmode=return\nend_gate=gate_second\n",
         "auxhost return SS_RunStartup 0", "auxhost return SS_Main 0"},
        {"services_service_first", "[SS_Main]\nmode=return\n[SS_RunStartup]\nend_gate=gate_second\n",
         "auxhost return SS_Main 0", "auxhost return SS_RunStartup 0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = MakeFullInstall(c.name, c.scenario);
        Gate second("gate_second");
        Launcher shell(dir);
        EXPECT_TRUE(second.OpenAfter(dir, c.first, kTimeout));
        ASSERT_TRUE(WaitForJournal(dir, "auxhost unload", kTimeout));
        EXPECT_TRUE(shell.Running());
        ASSERT_TRUE(shell.Quit());
        EXPECT_EQ(shell.WaitForExit(kTimeout), 0u);

        const auto journal = ReadJournal(dir);
        EXPECT_EQ(Count(journal, "auxhost unload"), 1u);
        EXPECT_EQ(IndexOf(journal, "auxhost stop SS_Main"), -1);
        ExpectInOrder(journal, {c.first, c.second, "auxhost unload", "modcore stop ShellMain", "config FreeBuffer"});
    }
}

TEST(Components, StuckThreadsGetANoticeAndAreTerminated)
{
    constexpr char kCaption[] = "Brevant - Notice!";
    const std::string dir = MakeFullInstall("components_stuck", "[ShellMain]\nmode=ignore\ndelay=60000\n"
                                                                "[SS_Main]\nmode=ignore\ndelay=60000\n");
    UseQuickStopLauncher(dir);
    Launcher shell(dir);
    ASSERT_TRUE(WaitForNamedEvent("ShellIsReadyEvent", kTimeout));
    ASSERT_TRUE(shell.Quit());
    DWORD graceFrom = GetTickCount(); // each thread's grace starts when the one before is done

    for (const char *text : {"The Tarvek Module System thread is being forcefully terminated.\n\n"
                             "Please notify the Brevant dev-team of this occurrence!",
                             "The Service thread is being forcefully terminated.\n\n"
                             "Please notify the Brevant dev-team of this occurrence!"}) {
        HWND box = WaitForWindow(kCaption, 25000);
        ASSERT_NE(box, nullptr);
        EXPECT_GE(GetTickCount() - graceFrom, LAUNCHER_TEST_STOP_WAIT_MS - 100u); // the grace first
        EXPECT_EQ(MessageBoxText(box), text);
        Press(box, IDOK);
        while (IsWindow(box)) // the next box has the same caption
            Sleep(20);
        graceFrom = GetTickCount();
    }
    EXPECT_EQ(shell.WaitForExit(kTimeout), 0u);

    const auto journal = ReadJournal(dir);
    EXPECT_EQ(Count(journal, "modcore return"), 0u); // terminated, never returned
    EXPECT_EQ(Count(journal, "auxhost return SS_Main"), 0u);
    ExpectInOrder(journal, {"auxhost unload", "config FreeBuffer", "config unload"});
    EXPECT_EQ(Count(journal, "auxhost unload live="), 0u); // the terminated thread was gone first
}

// What a hostile or careless component does must not strand the shell: it
// still ends, in order, and the user still sees every notice.
TEST(Components, ComponentsCannotStrandTheShell)
{
    const struct {
        const char *name, *scenario;
        bool quit;          // the test asks the shell to quit
        const char *notice; // a notice the user must see, answered
        std::vector<std::string> order;
    } cases[] = {
        // Closing its handle must not make the launcher close or wait on one not its own.
        {"closes_ready", "[ShellMain]\nclose_ready=1\nmode=return\ndelay=500\n", false, nullptr,
         {"modcore closed-ready ShellMain", "modcore return ShellMain 0", "auxhost stop SS_Main",
          "config FreeBuffer"}},
        // What it writes into the directory it is given stays its own.
        {"overwrites_dir", "[SH_CFG_FillBuffer]\noverwrite_dir=1\n", true, nullptr,
         {"config FillBuffer", "auxhost SS_Main flag=1", "modcore ShellMain dir=$DIR", "modcore stop ShellMain",
          "config FreeBuffer"}},
        // Quit messages posted while it is stopped, again and again, must not swallow the notice.
        {"quits_on_stop", "[ShellMain]\nquit_on_stop=1\ndelay=12000\n", true,
         "The Tarvek Module System thread is being forcefully terminated.",
         {"modcore posted-quit ShellMain", "auxhost stop SS_Main", "config FreeBuffer"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = MakeFullInstall(c.name, c.scenario);
        UseQuickStopLauncher(dir);
        {
            Launcher shell(dir);
            if (c.quit) {
                EXPECT_TRUE(WaitForNamedEvent("ShellIsReadyEvent", kTimeout));
                EXPECT_TRUE(shell.Quit());
            }
            if (c.notice != nullptr) {
                HWND box = WaitForWindow("Brevant - Notice!", 2 * kTimeout);
                ASSERT_NE(box, nullptr);
                Sleep(500);
                EXPECT_TRUE(IsWindow(box)) << "the notice closed before it was answered";
                EXPECT_EQ(MessageBoxText(box).rfind(c.notice, 0), 0u) << MessageBoxText(box);
                Press(box, IDOK);
            }
            EXPECT_EQ(shell.WaitForExit(2 * kTimeout), 0u);
        }
        std::vector<std::string> order;
        for (const std::string &line : c.order)
            order.push_back(line == "modcore ShellMain dir=$DIR" ? "modcore ShellMain dir=" + dir : line);
        ExpectInOrder(ReadJournal(dir), order);
    }
}

TEST(Components, StartupThreadEndingDuringTheNoticeRunsToItsEnd)
{
    constexpr char kCaption[] = "Brevant - Notice!";
    // The startup entry runs on until the test opens its gate, with the notice up.
    const std::string dir = MakeFullInstall("components_slow_startup",
                                            "[SS_RunStartup]\nmode=ignore\nend_gate=gate_late\nexit=3\n");
    UseQuickStopLauncher(dir);
    Gate late("gate_late");
    Launcher shell(dir);
    ASSERT_TRUE(WaitForNamedEvent("ShellIsReadyEvent", kTimeout));
    ASSERT_TRUE(shell.Quit());

    HWND box = WaitForWindow(kCaption, 25000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(MessageBoxText(box), "The Startup thread is being forcefully terminated.\n\n"
                                   "Please notify the Brevant dev-team of this occurrence!");
    late.Open();
    ASSERT_TRUE(WaitForJournal(dir, "auxhost return SS_RunStartup 3", kTimeout));
    Press(box, IDOK);
    EXPECT_EQ(shell.WaitForExit(kTimeout), 0u);
    ExpectInOrder(ReadJournal(dir), {"modcore return ShellMain 0", "auxhost return SS_RunStartup 3",
                                     "auxhost stop SS_Main", "auxhost unload", "config unload"});
}

// The exception code in a minidump's exception stream; 0 when the file is no
// minidump or holds no exception stream.
DWORD DumpExceptionCode(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto read = [&](size_t at, auto &out) {
        const bool fits = at + sizeof(out) <= data.size();
        if (fits)
            std::memcpy(&out, data.data() + at, sizeof(out));
        return fits;
    };
    MINIDUMP_HEADER header;
    if (data.compare(0, 4, "MDMP") != 0 || !read(0, header))
        return 0;
    for (ULONG i = 0; i < header.NumberOfStreams; ++i) {
        MINIDUMP_DIRECTORY entry;
        MINIDUMP_EXCEPTION_STREAM exception;
        if (!read(header.StreamDirectoryRva + i * sizeof(entry), entry))
            return 0;
        if (entry.StreamType == ExceptionStream && read(entry.Location.Rva, exception))
            return exception.ExceptionRecord.ExceptionCode;
    }
    return 0;
}

BOOL CALLBACK CountVisible(HWND window, LPARAM counter)
{
    *reinterpret_cast<int *>(counter) += IsWindowVisible(window) ? 1 : 0;
    return TRUE;
}

int VisibleWindows()
{
    int count = 0;
    EnumWindows(CountVisible, reinterpret_cast<LPARAM>(&count));
    return count;
}

TEST(Components, ACrashLeavesADumpAndEndsWithItsCode)
{
    // The profile folder of a user named in Latin and Cyrillic letters: the
    // dump keeps the exact name.
    const std::string dir = MakeFullInstall("components_crash_Zoë_Иванова");
    const std::string quietDir = MakeFullInstall("components_no_crash");
    char oldAppData[MAX_PATH] = "";
    GetEnvironmentVariableA("LOCALAPPDATA", oldAppData, sizeof(oldAppData));
    const int windows = VisibleWindows();

    // Ten older dumps of the launcher's, and one of another program's.
    const std::string dumps = dir + "\\CrashDumps\\";
    CreateDirectoryA(dumps.c_str(), nullptr);
    for (int i = 1; i <= 11; ++i) {
        const std::string name = i <= 10 ? "launcher.exe." + std::to_string(i) + ".dmp" : "other.exe.1.dmp";
        HANDLE file = CreateFileA((dumps + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        const FILETIME written{static_cast<DWORD>(i) * 100000000u, 30000000}; // 2011 and on, one apart
        SetFileTime(file, nullptr, nullptr, &written);
        CloseHandle(file);
    }
    SetEnvironmentVariableA("LOCALAPPDATA", dir.c_str());
    // Right after the signal, while the next component loads, and later.
    for (const char *delay : {"0", "100"}) {
        WriteText(dir + "\\scenario.ini", std::string("[ShellMain]\nmode=crash\ndelay=") + delay + "\n");
        Launcher shell(dir);
        EXPECT_EQ(shell.WaitForExit(20000), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION)) << delay;
        const std::string dump = dumps + "launcher.exe." + std::to_string(shell.ProcessId()) + ".dmp";
        EXPECT_EQ(DumpExceptionCode(dump), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION)) << dump;
        EXPECT_EQ(VisibleWindows(), windows); // no box left behind
    }
    // The newest ten of its own are kept: the oldest went, the other program's stays.
    for (const char *gone : {"launcher.exe.1.dmp", "launcher.exe.2.dmp"})
        EXPECT_EQ(GetFileAttributesA((dumps + gone).c_str()), INVALID_FILE_ATTRIBUTES) << gone;
    for (const char *kept : {"launcher.exe.3.dmp", "launcher.exe.10.dmp", "other.exe.1.dmp"})
        EXPECT_NE(GetFileAttributesA((dumps + kept).c_str()), INVALID_FILE_ATTRIBUTES) << kept;

    // No crash: no dump, no file, no directory.
    SetEnvironmentVariableA("LOCALAPPDATA", quietDir.c_str());
    RunToQuit(quietDir);
    EXPECT_EQ(GetFileAttributesA((quietDir + "\\CrashDumps").c_str()), INVALID_FILE_ATTRIBUTES);
    SetEnvironmentVariableA("LOCALAPPDATA", oldAppData);
}

// An entry whose stack overflows leaves the crash filter little room; it must
// still end the shell with the code, and a dump, never as if it had ended well.
TEST(Components, AStackOverflowIsACrashToo)
{
#ifdef _WIN64
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr)
        GTEST_SKIP() << "Wine ends a 64-bit thread whose stack overflows before any handler can run; "
                        "only Windows shows this";
#endif
    char oldAppData[MAX_PATH] = "";
    GetEnvironmentVariableA("LOCALAPPDATA", oldAppData, sizeof(oldAppData));
    for (const char *entry : {"ShellMain", "SS_Main"}) {
        const std::string dir = MakeFullInstall(std::string("components_overflow_") + entry,
                                                "[" + std::string(entry) + "]\nmode=overflow\n");
        SetEnvironmentVariableA("LOCALAPPDATA", dir.c_str());
        Launcher shell(dir);
        EXPECT_EQ(shell.WaitForExit(20000), static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW)) << entry;
        const std::string dump = dir + "\\CrashDumps\\launcher.exe." + std::to_string(shell.ProcessId()) + ".dmp";
        EXPECT_EQ(DumpExceptionCode(dump), static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW)) << entry;
    }
    SetEnvironmentVariableA("LOCALAPPDATA", oldAppData);
}

} // namespace
