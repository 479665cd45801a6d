// What componentcheck checks, its verdicts and its options: one table of
// checks, shared by the host process and the checker.
#pragma once

#include "contract.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// The checker's exit codes; bad usage and a library that cannot be loaded
// at all share one, as its usage says.
constexpr int kExitPass = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnloadable = kExitUsage;

// Warn: a sibling entry is missing, which the shell skips; it fails nothing.
enum class Verdict { Pass, Fail, Warn, NotObservable };

// "pass", "fail", "warn" or "not-observable".
const char *VerdictName(Verdict verdict);

// Every check. A new one is a row of kChecks, a line in the checks of its
// calls below (or of the library), and its observation in the host.
enum class Check {
    Export,
    Load,
    ConfigFill,
    ConfigFree,
    Ready,
    SingleSignal,
    QueueAtSignal,
    FailBeforeSignal,
    Stop,
    Crash,
    ThreadsLeft,
    Unloaded,
    HandlesLeft,
    GdiLeft,
};

struct CheckInfo {
    Check check;
    const char *name;
    const char *unit; // of its value: "ms", or "" for a count
};

constexpr CheckInfo kChecks[] = {
    {Check::Export, "export", ""},
    {Check::Load, "load", "ms"},
    {Check::ConfigFill, "config-fill", "ms"},
    {Check::ConfigFree, "config-free", "ms"},
    {Check::Ready, "ready", "ms"},
    {Check::SingleSignal, "single-signal", ""},
    {Check::QueueAtSignal, "queue-at-signal", ""},
    {Check::FailBeforeSignal, "fail-before-signal", ""},
    {Check::Stop, "stop", "ms"},
    {Check::Crash, "crash", ""},
    {Check::ThreadsLeft, "threads-left", ""},
    {Check::Unloaded, "unloaded", ""},
    {Check::HandlesLeft, "handles-left", ""},
    {Check::GdiLeft, "gdi-left", ""},
};

const char *CheckName(Check check);
const char *CheckUnit(Check check);
// The check of that name; false for none.
bool FindCheck(const std::string &name, Check &check);

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

struct Options {
    std::vector<std::string> libraries;
    DWORD readyTimeoutMs = 10000;
    std::string configFile; // handed to SH_CFG_FillBuffer; empty: none
    std::string installDir; // handed to the entries; empty: each library's own directory
    bool json = false;
    HANDLE report = nullptr; // set in a host process: where its records go
};
