// componentcheck: runs shell component libraries the way launcher.exe runs
// them and reports, entry by entry, whether they keep the contract.

#include "host.h"
#include "output.h"

#include "Paths.h"
#include "Text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr char kUsage[] =
    "usage: componentcheck [options] <library.dll>...\n"
    "\n"
    "Runs each component library the way launcher.exe runs it, in a process of\n"
    "its own, and reports whether every entry point keeps the contract.\n"
    "\n"
    "  --ready-timeout <ms>  time an entry has to signal its ready event (10000)\n"
    "  --config <file>       configuration file handed to SH_CFG_FillBuffer\n"
    "  --install-dir <dir>   installation directory handed to the entries\n"
    "                        (default: the library's own directory)\n"
    "  --json                print the results as one JSON array\n"
    "  --help, --version\n"
    "\n"
    "Exit code: 0 when no check failed (a warning fails nothing), 1 when one\n"
    "did, 2 for bad usage or a library that cannot be loaded at all.\n";

int Usage(const char *problem)
{
    if (problem != nullptr)
        fprintf(stderr, "componentcheck: %s\n\n", problem);
    fputs(kUsage, stderr);
    return kExitUsage;
}

// An argument that names an existing file is a library, whatever it begins
// with: under Wine, an absolute path of the Unix host begins with '/'.
bool IsFile(const char *path)
{
    return paths::FileExists(text::FromCodePage(path));
}

bool ParseNumber(const char *text, unsigned long long &value)
{
    char *end = nullptr;
    value = strtoull(text, &end, 10);
    return *text >= '0' && *text <= '9' && end != nullptr && *end == '\0';
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const bool hasValue = i + 1 < argc;
        unsigned long long number = 0;
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0 || strcmp(arg, "/?") == 0) {
            fputs(kUsage, stdout);
            return 0;
        } else if (strcmp(arg, "--version") == 0) {
            printf("componentcheck %s\n", PROJECT_VERSION);
            return 0;
        } else if (strcmp(arg, "--json") == 0) {
            options.json = true;
        } else if (strcmp(arg, "--ready-timeout") == 0) {
            if (!hasValue || !ParseNumber(argv[++i], number) || number >= INFINITE)
                return Usage("--ready-timeout needs a number of milliseconds");
            options.readyTimeoutMs = static_cast<DWORD>(number);
        } else if (strcmp(arg, "--config") == 0) {
            if (!hasValue)
                return Usage("--config needs a file");
            options.configFile = argv[++i];
        } else if (strcmp(arg, "--install-dir") == 0) {
            if (!hasValue)
                return Usage("--install-dir needs a directory");
            options.installDir = argv[++i];
        } else if (strcmp(arg, "--host") == 0) { // internal: the checker's own host process
            if (!hasValue || !ParseNumber(argv[++i], number))
                return Usage("--host needs a handle");
            options.report = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(number));
        } else if (arg[0] == '-' && !IsFile(arg)) {
            const bool pathLike = strpbrk(arg, "/\\") != nullptr || strchr(arg, '.') != nullptr;
            return Usage((std::string("unknown option ") + arg +
                          (pathLike ? " (nor is it an existing file: a library's path must name one)" : ""))
                             .c_str());
        } else { // "/?" is the only option that begins with '/': anything else is a path
            options.libraries.emplace_back(arg);
        }
    }
    if (options.libraries.empty())
        return Usage("no library given");
    if (options.report != nullptr)
        return options.libraries.size() == 1 ? RunHost(options) : Usage("a host runs one library");
    return RunChecks(options);
}
