// componentcheck over the stand-in component in its scenario modes and over
// the sample components: exactly the expected verdicts and exit codes.

#include "harness.h"

#include "checks.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>

using namespace harness;

namespace {

constexpr DWORD kTimeout = 60000;
// The checker waits this long for a call or a stop, not the shell's 10 s: the verdicts are the same.
constexpr char kChecker[] = "\\componentcheck.exe\" --call-limit 2000 ";

// Runs componentcheck --json; every check that does not pass, as
// "entry check verdict[ value]" ("-" for the whole library).
std::set<std::string> NotPassed(const std::string &libraries, DWORD &exitCode, nlohmann::json &results)
{
    const std::string output =
        RunAndCapture("\"" + ProgramDir() + kChecker + "--json " + libraries, kTimeout, exitCode);
    results = nlohmann::json::parse(output, nullptr, false);
    std::set<std::string> notPassed;
    if (!results.is_array()) {
        ADD_FAILURE() << "not a JSON array: " << output;
        return notPassed;
    }
    for (const auto &row : results) {
        if (row["verdict"] == "pass")
            continue;
        std::string line = (row["entry"].is_null() ? "-" : row["entry"].get<std::string>()) + " " +
                           row["check"].get<std::string>() + " " + row["verdict"].get<std::string>();
        if (!row["value"].is_null())
            line += " " + std::to_string(row["value"].get<long long>());
        notPassed.insert(line);
    }
    return notPassed;
}

// Points the library's export names at an address far outside its image, as
// a hostile library may: the checker must not read there.
void BreakExportNames(const std::string &path)
{
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    std::vector<char> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(data.data());
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(data.data() + dos->e_lfanew);
    const DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress;
    const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (rva < section->VirtualAddress || rva - section->VirtualAddress >= section->SizeOfRawData)
            continue;
        const DWORD offset = rva - section->VirtualAddress + section->PointerToRawData;
        const DWORD outside = 0x7FFFFFF0;
        file.seekp(offset + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNames));
        file.write(reinterpret_cast<const char *>(&outside), sizeof(outside));
        return;
    }
    ADD_FAILURE() << "no export directory in " << path;
}

TEST(ComponentCheck, ScenarioVerdicts)
{
    const struct {
        const char *name, *fixture, *scenario;
        std::set<std::string> notPassed;
        DWORD exitCode;
        const char *failDetail = nullptr; // a pattern for what a failing row says
        const char *shortDir = nullptr;    // checked from there instead
        const char *options = "";
        const char *journal = nullptr; // a line the stand-in must have journalled
        const char *library = nullptr; // checked instead of the fixture, in its directory
        bool breakExports = false;     // its export names pointed outside it
        bool rootedPath = false;       // named as "/dir/lib.dll", as a Unix host's shell would under Wine
        bool cutShort = false;         // cut to half its size
        const char *sample = nullptr;  // a sample component copied in (checked as the library)
    } cases[] = {
        {"well behaved", "modcore.dll", "", {}, 0},
        {"never signals", "modcore.dll", "[ShellMain]\nmode=nosignal\nexit=5\n",
         {"ShellMain ready fail", "ShellMain single-signal not-observable",
          "ShellMain queue-at-signal not-observable"}, 1, "^returned 5 without signalling .*likely causes: .*prototype"},
        {"ignores the stop", "modcore.dll", "[ShellMain]\nmode=ignore\ndelay=60000\n",
         {"ShellMain stop fail", "ShellMain fail-before-signal not-observable", "- handles-left not-observable",
          "- gdi-left not-observable", "- threads-left not-observable", "- unloaded not-observable"}, 1},
        {"-1 before signalling", "auxhost.dll", "[SS_Main]\nmode=fail\n",
         {"SS_Main ready not-observable", "SS_Main single-signal not-observable",
          "SS_Main queue-at-signal not-observable"}, 0},
        {"-1 after signalling", "auxhost.dll", "[SS_Main]\nmode=return\nexit=-1\n",
         {"SS_Main fail-before-signal fail"}, 1},
        {"signals twice", "auxhost.dll", "[SS_RunStartup]\nmode=twice\ndelay=50\n",
         {"SS_RunStartup single-signal fail 2"}, 1},
        // It returns at once: were it to wait for the stop message, whether its
        // queue is made before the stop is posted would be a race.
        {"no queue at the signal", "modcore.dll", "[ShellMain]\nqueue=0\nmode=return\n", {"ShellMain queue-at-signal fail"}, 1},
        {"crashes", "modcore.dll", "[ShellMain]\nmode=crash\ndelay=200\n",
         {"- crash fail", "ShellMain single-signal not-observable", "ShellMain queue-at-signal not-observable",
          "ShellMain fail-before-signal not-observable", "ShellMain stop not-observable",
          "- unloaded not-observable", "- threads-left not-observable", "- handles-left not-observable",
          "- gdi-left not-observable"}, 1,
         // At the line that crashed, from the PDB beside the library: $LINE is the one the stand-in journalled.
         R"(access violation \(0xC0000005\) writing 0x0+ at modcore\.dll\+0x[0-9a-f]+ \(.*RunEntry.* at component\.cpp:$LINE\), in the thread of ShellMain)"},
        {"throws", "modcore.dll", "[ShellMain]\nmode=throw\ndelay=200\n",
         {"- crash fail", "ShellMain single-signal not-observable", "ShellMain queue-at-signal not-observable",
          "ShellMain fail-before-signal not-observable", "ShellMain stop not-observable",
          "- unloaded not-observable", "- threads-left not-observable", "- handles-left not-observable",
          "- gdi-left not-observable"}, 1,
         R"(^a C\+\+ exception \(std::runtime_error\) escaped ShellMain)"},
        {"leaks a handle", "modcore.dll", "[ShellMain]\nleak=1\n", {"- handles-left fail 1"}, 1, ": ShellMain left 1 event$"},
        {"no contract export", "empty.dll", "", {"- export fail"}, 1},
        {"a near miss", "modcore_nearmiss.dll", "", {"- export fail"}, 1, "ShelMain: did you mean ShellMain\\?$"},
        {"cannot be loaded", nullptr, "", {"- load fail"}, 2, "no such file"},
        {"not a PE file", "modcore.dll", "[ShellMain]\n", {"- load fail"}, 2, "cannot be loaded: not a Windows library", nullptr, "",
         nullptr, "scenario.ini"},
        {"missing dependency", "config_dep.dll", "", {"- load fail"}, 2,
         "cannot be loaded: needs dep\\.dll: not found beside it or in the system directory, .*copy it beside the component$"},
        // modutil.dll lies beside the checker, not beside the component: the shell would not find it.
        {"modutil.dll not beside it", nullptr, "", {"- load fail"}, 2, "cannot be loaded: needs modutil\\.dll: .*copy it beside",
         nullptr, "", nullptr, "modcore.dll", false, false, false, "modcore.dll"},
        {"service-only library", "auxhost_nomain.dll", "", {"SS_Main export warn"}, 0},
        // From a short path, where a fault in the report path once showed.
        {"hangs in DllMain", "config.dll", "[DllMain]\nmode=hang\n", {"- load fail", "- crash not-observable"}, 1,
         "^its DllMain did not return within", "C:\\cchang"},
        {"core hangs in DllMain", "modcore.dll", "[DllMain]\nmode=hang\n",
         {"ShellMain ready not-observable", "- load fail", "- crash not-observable", "ShellMain single-signal not-observable",
          "ShellMain queue-at-signal not-observable", "ShellMain fail-before-signal not-observable",
          "ShellMain stop not-observable", "- threads-left not-observable", "- unloaded not-observable",
          "- handles-left not-observable", "- gdi-left not-observable"}, 1,
         "^its DllMain had not returned after 300 ms", nullptr, "--ready-timeout 300"},
        {"ready time-out", "modcore.dll", "[ShellMain]\nsignal_delay=1500\n", {"ShellMain ready fail"}, 1, nullptr,
         nullptr, "--ready-timeout 300"},
        {"leaves a thread running", "modcore.dll", "[ShellMain]\nthread=3000\n",
         {"- threads-left fail 1", "- unloaded not-observable", "- handles-left not-observable",
          "- gdi-left not-observable"}, 1},
        {"starts threads in DllMain", "modcore.dll", "[DllMain]\nmode=threads\n",
         {"- threads-left fail 8", "- unloaded not-observable", "- handles-left not-observable",
          "- gdi-left not-observable"}, 1},
        // One that has ended long before the unload is a thread its DllMain started all the same.
        {"a short thread in DllMain", "config.dll", "[DllMain]\nmode=shortthread\n", {"- threads-left fail 1"}, 1,
         "^its DllMain started 1 thread: "},
        {"pins itself", "modcore.dll", "[ShellMain]\npin=1\n", {"- unloaded fail"}, 1},
        {"calls ExitProcess", "modcore.dll", "[ShellMain]\nmode=exit\nexit=7\ndelay=200\n",
         {"- crash fail", "ShellMain single-signal not-observable", "ShellMain queue-at-signal not-observable",
          "ShellMain fail-before-signal not-observable", "ShellMain stop not-observable",
          "- threads-left not-observable", "- unloaded not-observable", "- handles-left not-observable",
          "- gdi-left not-observable"}, 1, "exit code 7"},
        {"leaks a brush", "modcore.dll", "[ShellMain]\ngdi=1\n", {"- gdi-left fail 1"}, 1, ": ShellMain left 1 brush$"},
        {"decorated export", "auxhost_decorated.dll", "", {"SS_Main export fail"}, 1},
        {"core on its loading thread", "modcore.dll", "[ShellMain]\nsame_thread=1\n", {}, 0},
        {"closes its ready event", "modcore.dll", "[ShellMain]\nclose_ready=1\nmode=return\ndelay=200\n",
         {"ShellMain ready fail", "ShellMain single-signal fail 0", "ShellMain queue-at-signal not-observable"}, 1,
         "^closed its ready event"},
        {"writes into the directory", "config.dll", "[SH_CFG_FillBuffer]\noverwrite_dir=1\n",
         {"SH_CFG_FillBuffer config-fill fail"}, 1, R"(^wrote into the installation directory it was given \(now "C:\\x"\))"},
        {"export table outside the image", "modcore.dll", "", {"- load fail"}, 2, R"(cannot be loaded: .*\(error 193\)$)", nullptr, "",
         nullptr, nullptr, true},
        {"cut short", "modcore.dll", "", {"- load fail"}, 2,
         R"(^cannot be loaded: a truncated file: it ends at \d+ bytes, inside its sections$)", nullptr, "", nullptr, nullptr,
         false, false, true},
        {"config and install dir", "config.dll", "", {}, 0, nullptr, nullptr, "--config C:\\x.rc --install-dir C:\\inst",
         "config FillBuffer dir=C:\\inst file=C:\\x.rc"},
        {"path that begins with a slash", "modcore.dll", "", {}, 0, nullptr, nullptr, "", nullptr, nullptr, false,
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = MakeInstall(std::string("check_") + c.name,
                                            c.fixture ? std::vector<std::pair<std::string, std::string>>{
                                                            {c.fixture, c.fixture}}
                                                      : std::vector<std::pair<std::string, std::string>>{},
                                            c.scenario);
        if (c.sample != nullptr)
            ASSERT_TRUE(CopyInto(ProgramDir() + "\\samples\\" + c.sample, dir + "\\" + c.sample));
        if (c.breakExports)
            BreakExportNames(dir + "\\" + c.fixture);
        if (c.cutShort) {
            HANDLE file = CreateFileA((dir + "\\" + c.fixture).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            SetFilePointer(file, static_cast<LONG>(GetFileSize(file, nullptr) / 2), nullptr, FILE_BEGIN);
            SetEndOfFile(file);
            CloseHandle(file);
        }
        if (c.shortDir != nullptr) {
            CreateDirectoryA(c.shortDir, nullptr);
            for (const char *file : {c.fixture, "scenario.ini"})
                CopyInto(dir + "\\" + file, std::string(c.shortDir) + "\\" + file);
        }
        DWORD exitCode = 0;
        nlohmann::json results;
        const std::string from = c.shortDir != nullptr ? c.shortDir : dir;
        const char *library = c.library != nullptr ? c.library : c.fixture != nullptr ? c.fixture : "missing.dll";
        std::string path = from + "\\" + library;
        if (c.rootedPath) // the drive dropped: the current one, which the test shares with its library
            path = std::regex_replace(path.substr(path.find(':') + 1), std::regex(R"(\\)"), "/");
        const auto notPassed = NotPassed(std::string(c.options) + " \"" + path + "\"", exitCode, results);
        if (c.journal != nullptr) {
            EXPECT_GE(IndexOf(ReadJournal(dir), c.journal), 0) << c.journal;
        }
        EXPECT_EQ(notPassed, c.notPassed);
        EXPECT_EQ(exitCode, c.exitCode);
        if (c.failDetail != nullptr) {
            std::string pattern = c.failDetail;
            for (const std::string &line : ReadJournal(dir)) {
                if (line.rfind("modcore crash-line ", 0) == 0)
                    pattern = std::regex_replace(pattern, std::regex(R"(\$LINE)"), line.substr(19));
            }
            bool said = false;
            for (const auto &row : results.is_array() ? results : nlohmann::json::array()) {
                if (row["verdict"] == "fail")
                    said = said || std::regex_search(row["detail"].get<std::string>(), std::regex(pattern));
            }
            EXPECT_TRUE(said) << pattern << "\n" << results.dump(1);
        }
    }
}

// Every check of every entry of each library's roles, and the library's own.
size_t RowsFor(std::initializer_list<contract::Role> roles)
{
    size_t rows = std::size(kLibraryChecks);
    for (const auto &entry : contract::kEntries) {
        if (std::find(roles.begin(), roles.end(), entry.role) != roles.end())
            rows += 1 + ChecksOf(entry).size();
    }
    return rows;
}

TEST(ComponentCheck, SamplesPassEveryCheck)
{
    using contract::Role;
    // As installed: modutil.dll beside them, where the shell looks for it.
    const std::string samples = MakeInstall("check_samples", {}) + "\\";
    for (const char *file : {"samples\\config.dll", "samples\\auxhost.dll", "samples\\modcore.dll", "modutil.dll"})
        ASSERT_TRUE(CopyInto(ProgramDir() + "\\" + file, samples + std::string(file).substr(std::string(file).rfind('\\') + 1)));
    const std::string libraries =
        "\"" + samples + "config.dll\" \"" + samples + "auxhost.dll\" \"" + samples + "modcore.dll\"";
    DWORD exitCode = 1;
    nlohmann::json results;
    const auto notPassed = NotPassed(libraries, exitCode, results);
    EXPECT_EQ(notPassed, std::set<std::string>{});
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(results.size(), RowsFor({Role::Config}) + RowsFor({Role::Services}) + RowsFor({Role::Core}));
    for (const auto &row : results) {
        for (const char *key : {"library", "entry", "check", "verdict", "value", "detail"})
            EXPECT_TRUE(row.contains(key)) << key;
    }

    // The table: a header, a row per check, and each library's tally.
    const std::string table = RunAndCapture("\"" + ProgramDir() + kChecker + "\"" + samples + "modcore.dll\"",
                                            kTimeout, exitCode);
    EXPECT_EQ(exitCode, 0u);
    for (const char *part : {"ENTRY", "ShellMain          ready               pass", "(library)          unloaded",
                             "12 passed, 0 failed, 0 warnings, 0 not observable"})
        EXPECT_NE(table.find(part), std::string::npos) << part << "\n" << table;
    // The core's lines, each ended by its newline, shown one by one.
    EXPECT_TRUE(std::regex_search(table, std::regex("ShellMain          \\| \\[core\\] [^\r\n]+\r?\n    ShellMain          \\| \\[core\\]")))
        << table;
}

// What the library says, with OutputDebugString as with printf, is shown as its own, by entry.
TEST(ComponentCheck, ShowsWhatTheLibraryWrote)
{
    const std::string dir = MakeInstall("check_says", {{"modcore.dll", "modcore.dll"}},
                                        "[ShellMain]\nsay=hello from the core\nmode=return\n");
    DWORD exitCode = 1;
    const std::string table = RunAndCapture("\"" + ProgramDir() + kChecker + "\"" + dir + "\\modcore.dll\"", kTimeout, exitCode);
    EXPECT_EQ(exitCode, 0u) << table;
    EXPECT_TRUE(std::regex_search(table, std::regex("what it wrote \\(OutputDebugString, standard output and "
                                                    "error\\):\r?\n    ShellMain          \\| hello from the core\r?\n")))
        << table;
}

} // namespace
