// The host process's state, made once for the library it hosts.

#include "state.h"

namespace {

std::string DirectoryOf(const std::string &path)
{
    return path.substr(0, path.rfind('\\'));
}

} // namespace

HostState::HostState(const Options &hostOptions, LibrarySearch librarySearch)
    : options(hostOptions), path(hostOptions.libraries[0]),
      installDir(hostOptions.installDir.empty() ? DirectoryOf(path) : hostOptions.installDir), search(librarySearch)
{
    for (EntryRun *run : {&startup, &service, &core})
        run->host = this;
}
