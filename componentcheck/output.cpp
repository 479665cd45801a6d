// The results, as a table or as JSON, and the checker's exit code.

#include "output.h"

#include "supervisor.h"

#include "ascii.h"

#define JSON_NOEXCEPTION
#include <nlohmann/json.hpp>

#include <stdio.h>

#include <algorithm>

namespace {

std::string Value(const CheckResult &row)
{
    if (!row.value)
        return "";
    const std::string unit = CheckUnit(row.check);
    return std::to_string(*row.value) + (unit.empty() ? "" : " " + unit);
}

void PrintTable(const std::vector<LibraryReport> &reports)
{
    for (const auto &report : reports) {
        int counts[4] = {}; // by verdict, in its order
        printf("%s\n", report.library.c_str());
        printf("  %-18s %-19s %-15s %8s  %s\n", "ENTRY", "CHECK", "VERDICT", "VALUE", "DETAIL");
        for (const auto &row : report.rows) {
            ++counts[static_cast<int>(row.verdict)];
            // The table's words are the JSON's, a failure in capitals.
            std::string verdict = VerdictName(row.verdict);
            std::replace(verdict.begin(), verdict.end(), '-', ' ');
            if (row.verdict == Verdict::Fail)
                std::transform(verdict.begin(), verdict.end(), verdict.begin(), ascii::ToUpper);
            char line[1024];
            int length = _snprintf(line, sizeof(line) - 1, "  %-18s %-19s %-15s %8s  %s",
                                   row.entry.empty() ? "(library)" : row.entry.c_str(), CheckName(row.check), verdict.c_str(),
                                   Value(row).c_str(), row.detail.c_str());
            length = length < 0 ? static_cast<int>(sizeof(line)) - 1 : length;
            while (length > 0 && line[length - 1] == ' ')
                --length;
            printf("%.*s\n", length, line);
        }
        printf("  %d passed, %d failed, %d warnings, %d not observable\n\n", counts[0], counts[1], counts[2],
               counts[3]);
    }
}

// JSON text is UTF-8; paths and details are in the ANSI code page.
std::string Utf8(const std::string &ansi)
{
    const int wide = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), text.data(), wide);
    const int narrow = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(narrow), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, utf8.data(), narrow, nullptr, nullptr);
    return utf8;
}

void PrintJson(const std::vector<LibraryReport> &reports)
{
    using Json = nlohmann::ordered_json; // the keys in the documented order
    Json results = Json::array();
    for (const auto &report : reports) {
        for (const auto &row : report.rows) {
            results.push_back({
                {"library", Utf8(report.library)},
                {"entry", row.entry.empty() ? Json(nullptr) : Json(row.entry)},
                {"check", CheckName(row.check)},
                {"verdict", VerdictName(row.verdict)},
                {"value", row.value ? Json(*row.value) : Json(nullptr)},
                {"detail", Utf8(row.detail)},
            });
        }
    }
    const std::string text = results.dump(2, ' ', false, Json::error_handler_t::replace);
    printf("%s\n", text.c_str());
}

// 2 when a library cannot be loaded at all, else 1 when any check failed;
// a check that could not be observed fails nothing.
int ExitCode(const std::vector<LibraryReport> &reports)
{
    int exitCode = kExitPass;
    for (const auto &report : reports) {
        if (report.unloadable)
            exitCode = kExitUnloadable; // said once, in its row
        const bool failed = std::any_of(report.rows.begin(), report.rows.end(),
                                        [](const CheckResult &row) { return row.verdict == Verdict::Fail; });
        if (failed && exitCode == kExitPass)
            exitCode = kExitFail;
    }
    return exitCode;
}

} // namespace

int RunChecks(const Options &options)
{
    std::vector<LibraryReport> reports;
    for (const auto &library : options.libraries)
        reports.push_back(CheckLibrary(options, library));
    if (options.json)
        PrintJson(reports);
    else
        PrintTable(reports);
    return ExitCode(reports);
}
