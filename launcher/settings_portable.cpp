// Command-line switches and the installation directory: pure text handling,
// free of platform calls so that it builds and is fuzzed on any host.

#include "LaunchSettings.h"
#include "ascii.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

namespace {

// The command line without its first token, the executable's path: a quoted
// path runs to its closing quote, an unquoted one to the first whitespace.
// Left in, a dash in the path would read as a switch ("C:\my-new-shell\...").
std::string_view SkipProgramPath(std::string_view line)
{
    size_t i = 0;
    while (i < line.size() && ascii::IsSpace(line[i]))
        ++i;
    if (i < line.size() && line[i] == '"') {
        const size_t close = line.find('"', i + 1);
        i = close == std::string_view::npos ? line.size() : close + 1;
    } else {
        while (i < line.size() && !ascii::IsSpace(line[i]))
            ++i;
    }
    line.remove_prefix(i);
    return line;
}

// Digit after -m or -s: '0' gives the first state, '1' the second, anything
// else nothing.
template <typename Mode>
void ApplyModeDigit(Mode &mode, char digit, Mode onZero, Mode onOne)
{
    if (digit == '0')
        mode = onZero;
    else if (digit == '1')
        mode = onOne;
}

// The -f value: trailing whitespace removed, leading kept. A value that does
// not fit a path buffer is dropped rather than cut, since a cut path could
// name a different file that exists.
void ApplyConfigFile(LaunchSettings &settings, std::string_view value, FileTest fileExists)
{
    while (!value.empty() && ascii::IsSpace(value.back()))
        value.remove_suffix(1);
    if (value.size() >= kMaxPath)
        return;
    PathText path{};
    std::memcpy(path.data(), value.data(), value.size());
    if (fileExists(path.data()) && !settings.ConfigFile)
        settings.ConfigFile = path;
}

} // namespace

LaunchSettings ParseCommandLine(const char *commandLine, FileTest fileExists)
{
    LaunchSettings settings;
    if (commandLine == nullptr)
        return settings;
    const std::string_view original = SkipProgramPath(commandLine);
    const std::unique_ptr<char[]> lowered(new (std::nothrow) char[original.size() + 1]);
    if (!lowered)
        return settings; // the defaults stand
    std::transform(original.begin(), original.end(), lowered.get(), ascii::ToLower);
    const std::string_view line(lowered.get(), original.size());

    size_t i = 0;
    while (i < line.size()) {
        if (line[i] != '-') {
            ++i;
            continue;
        }
        if (i + 1 == line.size())
            break; // a trailing dash
        const char option = line[i + 1]; // always consumed, even a second '-'
        i += 2;
        const char next = i < line.size() ? line[i] : '\0';
        switch (option) {
        case 'f': {
            const size_t end = std::min(line.find('-', i), line.size());
            ApplyConfigFile(settings, line.substr(i, end - i), fileExists);
            i = end; // a '-' here starts the next switch
            break;
        }
        case 'm': // the digit is scanned again, as an ordinary character
            ApplyModeDigit(settings.InstanceMode, next, InstanceModes::EndQuietly, InstanceModes::StartAnyway);
            break;
        case 's':
            ApplyModeDigit(settings.StartupMode, next, StartupModes::Skipped, StartupModes::Forced);
            break;
        case 'n':
            settings.ServicesEnabled = false;
            break;
        case 't':
            settings.ServiceMainFlag = 0;
            break;
        default:
            break;
        }
    }
    return settings;
}

std::optional<std::wstring> DirectoryPart(std::wstring_view path)
{
    const size_t slash = path.rfind(L'\\');
    if (slash == std::wstring_view::npos || slash == 0)
        return std::nullopt;
    return std::wstring(path.substr(0, slash));
}
