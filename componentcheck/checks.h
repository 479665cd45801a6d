// What componentcheck checks and how its host process reports it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

enum class Verdict { Pass, Fail, NotObservable };

// "pass", "fail" or "not-observable".
const char *VerdictName(Verdict verdict);

struct CheckResult {
    std::string entry; // the export's name; empty for a check of the whole library
    std::string check;
    Verdict verdict = Verdict::NotObservable;
    std::optional<long long> value; // milliseconds or a count
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

// The host process's records, one line each, fields separated by tabs. The
// entry is "-" for the whole library, a value "-" for none.
//   P entry check                       a check the host will report
//   S entry check limit-ms              a step that may hang begins
//   R entry check verdict value detail  a result
//   C detail                            the host crashed
//   L detail                            the library cannot be loaded
//   E                                   the host is done
constexpr char kRecordPlan = 'P';
constexpr char kRecordStep = 'S';
constexpr char kRecordResult = 'R';
constexpr char kRecordCrash = 'C';
constexpr char kRecordUnloadable = 'L';
constexpr char kRecordDone = 'E';
constexpr char kNoEntry[] = "-";

// Hosts options.libraries[0] in this process and reports on options.report.
int RunHost(const Options &options);

// Checks every library, each in a host process of its own, and prints the
// results; returns the checker's exit code.
int RunChecks(const Options &options);
