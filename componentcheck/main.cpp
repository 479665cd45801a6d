// componentcheck: runs shell component libraries the way launcher.exe runs
// them and reports, entry by entry, whether they keep the contract.

#include "host.h"

#include "Paths.h"
#include "Text.h"

#include <wchar.h>

namespace {

constexpr wchar_t kUsage[] =
    L"usage: componentcheck [options] <library.dll>...\n"
    L"\n"
    L"Runs each component library the way launcher.exe runs it, in a process of\n"
    L"its own, and reports whether every entry point keeps the contract, with\n"
    L"what the library wrote (OutputDebugString, standard output and error).\n"
    L"\n"
    L"  --ready-timeout <ms>  time an entry has to signal its ready event (10000)\n"
    L"  --call-limit <ms>     time a call may take, and a thread to end once\n"
    L"                        stopped, before it counts as hung (10000, as the\n"
    L"                        shell waits; shorter only for tests)\n"
    L"  --config <file>       configuration file handed to SH_CFG_FillBuffer (none)\n"
    L"  --install-dir <dir>   installation directory handed to the entries\n"
    L"                        (default: the library's own directory)\n"
    L"  --json                print the results as one JSON array\n"
    L"  --help, -h, /?, --version\n"
    L"\n"
    L"Exit code: 0 when no check failed (a warning fails nothing), 1 when one\n"
    L"did, 2 for bad usage or a library that cannot be loaded at all.\n";

int Usage(const std::wstring &problem)
{
    text::Print(stderr, L"componentcheck: %ls\n\n%ls", problem.c_str(), kUsage);
    return kExitUsage;
}

bool ParseNumber(const wchar_t *text, DWORD &value)
{
    wchar_t *end = nullptr;
    const unsigned long long number = wcstoull(text, &end, 10);
    value = static_cast<DWORD>(number);
    return *text >= L'0' && *text <= L'9' && end != nullptr && *end == L'\0' && number < INFINITE;
}

// The value after an option; null when there is none.
const wchar_t *ValueOf(int &i, int argc, wchar_t **argv)
{
    return i + 1 < argc ? argv[++i] : nullptr;
}

// Reads one argument into the options; an error to say, or empty.
std::wstring TakeArgument(int &i, int argc, wchar_t **argv, Options &options)
{
    const std::wstring arg = argv[i];
    DWORD number = 0;
    if (arg == L"--json") {
        options.json = true;
    } else if (arg == L"--ready-timeout" || arg == L"--call-limit") {
        const wchar_t *value = ValueOf(i, argc, argv);
        if (value == nullptr || !ParseNumber(value, number))
            return arg + L" needs a number of milliseconds";
        (arg == L"--ready-timeout" ? options.readyTimeoutMs : options.callLimitMs) = number;
    } else if (arg == L"--config" || arg == L"--install-dir") {
        const wchar_t *value = ValueOf(i, argc, argv);
        if (value == nullptr)
            return arg + (arg == L"--config" ? L" needs a file" : L" needs a directory");
        (arg == L"--config" ? options.configFile : options.installDir) = value;
    } else if (arg == L"--host") { // internal: the checker's own host process
        const wchar_t *value = ValueOf(i, argc, argv);
        if (value == nullptr || !ParseNumber(value, number))
            return L"--host needs a handle";
        options.report = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(number));
    } else if (arg[0] == L'-' && !paths::FileExists(arg)) {
        // An argument that names an existing file is a library, whatever it begins with.
        const bool pathLike = arg.find_first_of(L"/\\.") != std::wstring::npos;
        return L"unknown option " + arg + (pathLike ? L" (nor is it an existing file: a library's path must name one)" : L"");
    } else { // "/?" is the only option that begins with '/': under Wine, a Unix host's path does too
        options.libraries.push_back(arg);
    }
    return L"";
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            text::Print(stdout, L"%ls", kUsage);
            return kExitPass;
        }
        if (arg == L"--version") {
            text::Print(stdout, L"componentcheck %hs\n", PROJECT_VERSION);
            return kExitPass;
        }
        if (const std::wstring problem = TakeArgument(i, argc, argv, options); !problem.empty())
            return Usage(problem);
    }
    if (options.libraries.empty())
        return Usage(L"no library given");
    if (options.report != nullptr)
        return options.libraries.size() == 1 ? RunHost(options) : Usage(L"a host runs one library");
    return RunChecks(options);
}
