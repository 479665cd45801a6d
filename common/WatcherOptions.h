// The watcher's options, as shellctl writes them into the Shell value and
// shellwatch.exe reads them back at log-on: one table, so that shellctl
// refuses exactly what the watcher could not take as given.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace watcher {

struct Option {
    const wchar_t *name;
    DWORD fallback; // the default
    DWORD least, most;
    const wchar_t *unit;
    const wchar_t *usage; // "--restarts N  restarts after a crash per log-on", for a usage text
};

constexpr Option kRestarts{L"--restarts", 2, 0, 100, L"restarts", L"--restarts N       restarts after a crash per log-on"};
constexpr Option kReadyTimeout{L"--ready-timeout", 90, 1, 24 * 60 * 60, L"s",
                               L"--ready-timeout S  seconds before asking about a shell not ready"};
// Any end within --min-run is a failed start, whatever its exit code: the
// launcher sets its ready event and ends with 0 even when it loaded no core.
// The floor of 2 s lies well above the few hundred milliseconds such a start
// takes to end on a loaded log-on, and below any time in which a person
// would end a shell they meant to use; at 0 a missing core would be taken
// for the user ending the shell, and nothing would fall back.
constexpr Option kMinRun{L"--min-run", 30, 2, 24 * 60 * 60, L"s",
                         L"--min-run S        an end sooner than this is a failed start"};
constexpr const Option *kOptions[] = {&kRestarts, &kReadyTimeout, &kMinRun};

// Each option's usage line, its range and its default, indented by `indent`.
inline std::wstring UsageLines(const wchar_t *indent)
{
    std::wstring lines;
    for (const Option *option : kOptions)
        lines += std::wstring(indent) + option->usage + L", " + std::to_wstring(option->least) + L" to " +
                 std::to_wstring(option->most) + L" (default " + std::to_wstring(option->fallback) + L")\n";
    return lines;
}

constexpr size_t kMaxDigits = 9; // a DWORD that cannot overflow

// A decimal number, or false.
constexpr bool ReadNumber(std::wstring_view text, DWORD &value)
{
    if (text.empty() || text.size() > kMaxDigits)
        return false;
    DWORD number = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        number = number * 10 + static_cast<DWORD>(c - L'0');
    }
    value = number;
    return true;
}

constexpr bool InRange(const Option &option, DWORD value)
{
    return value >= option.least && value <= option.most;
}

// The watcher's reading: a number outside the range takes the nearest
// bound; anything else keeps the default (a damaged value must still start
// the shell).
constexpr DWORD Reading(const Option &option, std::wstring_view text)
{
    DWORD value = 0;
    if (!ReadNumber(text, value))
        return option.fallback;
    return value < option.least ? option.least : value > option.most ? option.most : value;
}

} // namespace watcher
