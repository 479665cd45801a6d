// Fuzzes the command-line scan: nothing crashes or leaks, the service flag
// stays 0 or 1, and only a value that the file test accepted, and that fits
// a path, becomes the configuration file.

#include "LaunchSettings.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string g_accepted;
bool g_anyAccepted;

// Accepts every third value, so both outcomes are explored.
bool SometimesExists(const char *path)
{
    if (std::strlen(path) >= kMaxPath)
        std::abort();
    if (std::strlen(path) % 3 != 0)
        return false;
    if (!g_anyAccepted)
        g_accepted = path;
    g_anyAccepted = true;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string line(reinterpret_cast<const char *>(data), size);
    line.resize(line.find('\0') == std::string::npos ? line.size() : line.find('\0')); // a command line holds no NUL
    g_accepted.clear();
    g_anyAccepted = false;

    const LaunchSettings s = ParseCommandLine(line.c_str(), SometimesExists);
    if (s.ServiceMainFlag != 0 && s.ServiceMainFlag != 1)
        std::abort();
    if (s.ConfigFile.has_value() != g_anyAccepted || (s.ConfigFile && g_accepted != s.ConfigFile->data()))
        std::abort();
    return 0;
}
