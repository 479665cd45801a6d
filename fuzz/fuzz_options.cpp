// Fuzzes the command-line scan: nothing crashes or leaks, every switch field
// stays in its range, and only a value that the file test accepted, and that
// fits a path, becomes the configuration file.

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

    LaunchSettings s;
    if (ParseCommandLine(s, line.c_str(), SometimesExists) != 1)
        std::abort();
    if (s.InstanceMode < 0 || s.InstanceMode > 2 || s.StartupMode < 0 || s.StartupMode > 2 ||
        (s.ServicesEnabled != 0 && s.ServicesEnabled != 1) || (s.ServiceMainFlag != 0 && s.ServiceMainFlag != 1))
        std::abort();
    if ((s.ConfigFile != nullptr) != g_anyAccepted || (s.ConfigFile && g_accepted != s.ConfigFile))
        std::abort();
    FreeText(s.ConfigFile);
    return 0;
}
