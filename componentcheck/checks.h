// What componentcheck checks and reports, shared by the checker and its host
// process: the table of checks, the verdicts, a result row, the options, the
// records the host sends, and what a library's exports say.
#pragma once

#include "contract.h"

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The checker's exit codes; bad usage and a library that cannot be loaded
// at all share one, as its usage says.
constexpr int kExitPass = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnloadable = kExitUsage;

// Warn: a sibling entry is missing, which the shell skips; it fails nothing.
enum class Verdict { Pass, Fail, Warn, NotObservable };
constexpr const char *kVerdictNames[] = {"pass", "fail", "warn", "not-observable"}; // in Verdict's order

// Every check. A new one is a row of kChecks, a line in the checks of its
// calls below (or of the library), and its observation in the host.
enum class Check {
    Export, Load, ConfigFill, ConfigFree, Ready, SingleSignal, QueueAtSignal, FailBeforeSignal, Stop, Crash,
    ThreadsLeft, Unloaded, HandlesLeft, GdiLeft,
};

struct CheckInfo {
    const char *name;
    const char *unit; // of its value: "ms", or "" for a count
};

constexpr CheckInfo kChecks[] = { // in Check's order
    {"export", ""},        {"load", "ms"},           {"config-fill", "ms"},      {"config-free", "ms"},
    {"ready", "ms"},       {"single-signal", ""},    {"queue-at-signal", ""},    {"fail-before-signal", ""},
    {"stop", "ms"},        {"crash", ""},            {"threads-left", ""},       {"unloaded", ""},
    {"handles-left", ""},  {"gdi-left", ""},
};

inline const char *CheckName(Check check) { return kChecks[static_cast<size_t>(check)].name; }
inline const char *CheckUnit(Check check) { return kChecks[static_cast<size_t>(check)].unit; }
inline const char *VerdictName(Verdict verdict) { return kVerdictNames[static_cast<size_t>(verdict)]; }

// What is checked of an entry, by how the shell calls it, after its export.
std::vector<Check> ChecksOf(const contract::Entry &entry);

// What is checked of the whole library, in the order reported.
constexpr Check kLibraryChecks[] = {Check::Load, Check::Crash, Check::ThreadsLeft, Check::Unloaded, Check::HandlesLeft,
                                    Check::GdiLeft};

struct CheckResult {
    std::string entry; // the export's name; empty for a check of the whole library
    Check check = Check::Export;
    Verdict verdict = Verdict::NotObservable;
    std::optional<long long> value; // in the check's unit
    std::string detail;
};

// The shell's own limit, for a call and for a thread to stop.
constexpr DWORD kShellLimitMs = 10000;

struct Options {
    std::vector<std::wstring> libraries;
    DWORD readyTimeoutMs = kShellLimitMs;
    // How long a call may take, and a thread to end once stopped; the shell's
    // by default, shorter only where a test wants its verdicts sooner.
    DWORD callLimitMs = kShellLimitMs;
    std::wstring configFile; // handed to SH_CFG_FillBuffer; empty: none
    std::wstring installDir; // handed to the entries; empty: each library's own directory
    bool json = false;
    HANDLE report = nullptr; // set in a host process: where its records go
};

// Checks each library in a host process of its own, prints the results and
// returns the exit code (supervisor.cpp).
int RunChecks(const Options &options);

// ---- The host's records to the checker, one JSON object a line.
enum class RecordKind : char {
    Step = 'S',       // a step that may hang begins: entry, check, limit
    Result = 'R',     // a result
    Crash = 'C',      // the host crashed: detail
    Unloadable = 'L', // the library cannot be loaded: detail
    Output = 'O',     // the library wrote this (OutputDebugString, standard output or error): entry, detail
    Done = 'E',       // the host is done
};

struct Record {
    RecordKind kind = RecordKind::Done;
    CheckResult result; // Step: entry and check; Result: all of it; Output: entry
    DWORD limitMs = 0;  // Step
    std::string detail; // Crash, Unloadable, Output
};

std::string Encode(const Record &record); // one line, ending in a line feed
bool Decode(const std::string &line, Record &record); // false for anything else

// ---- What a library exports, and the roles that makes it play.
struct Exports {
    std::vector<std::string> names;
    bool Plain(const char *name) const;
    const char *Decorated(const char *name) const; // the decorated export standing for name, or null
    bool HasRole(contract::Role role) const;
    // Exports a letter or two from an entry's name: "ShelMain: did you mean ShellMain?"; empty for none.
    std::string NearMisses() const;
};

// Reads the export names from the file, without running the library.
bool ReadExports(const std::wstring &path, Exports &exports, DWORD &error);
// Every row a host reports for a library of these exports, in the order
// reported, each not observed yet.
std::vector<CheckResult> PlannedRows(const Exports &exports);
