// Command-line switches and the installation directory: pure text handling,
// free of platform calls so that it builds and is fuzzed on any host.

#include "LaunchSettings.h"
#include "ascii.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

char *HeapCopy(std::string_view text)
{
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text.data(), text.size());
        copy[text.size()] = '\0';
    }
    return copy;
}

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
void ApplyModeDigit(int &mode, char digit, int onZero, int onOne)
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

    std::array<char, kMaxPath> path{};
    std::memcpy(path.data(), value.data(), value.size());
    if (fileExists(path.data()) && settings.ConfigFile == nullptr)
        settings.ConfigFile = HeapCopy(value);
}

} // namespace

int ParseCommandLine(LaunchSettings &settings, const char *commandLine, FileTest fileExists)
{
    settings.InstanceMode = kAskOnSecondCopy;
    settings.StartupMode = kStartupNormal;
    settings.ServiceMainFlag = 1;
    settings.ServicesEnabled = 1;
    if (commandLine == nullptr)
        return 1;

    const std::string_view original = SkipProgramPath(commandLine);
    char *lowered = HeapCopy(original);
    if (lowered == nullptr)
        return 1; // the defaults stand
    for (char *c = lowered; *c != '\0'; ++c)
        *c = ascii::ToLower(*c);

    const std::string_view line(lowered, original.size());
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
            ApplyConfigFile(settings, std::string_view(line.data() + i, end - i), fileExists);
            i = end; // a '-' here starts the next switch
            break;
        }
        case 'm':
            ApplyModeDigit(settings.InstanceMode, next, kEndQuietly, kStartAnyway); // the digit is scanned again
            break;
        case 's':
            ApplyModeDigit(settings.StartupMode, next, kStartupSkipped, kStartupForced);
            break;
        case 'n':
            settings.ServicesEnabled = 0;
            break;
        case 't':
            settings.ServiceMainFlag = 0;
            break;
        default:
            break;
        }
    }

    std::free(lowered);
    return 1;
}

char *CopyDirectoryPart(const char *path, size_t length)
{
    const std::string_view text(path, length);
    const size_t slash = text.rfind('\\');
    if (slash == std::string_view::npos || slash == 0)
        return nullptr;
    return HeapCopy(std::string_view(path, slash));
}

void FreeText(char *&text)
{
    std::free(text);
    text = nullptr;
}
