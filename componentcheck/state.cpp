// The host process's state, made once for the library it hosts.

#include "state.h"

#include "Text.h"

namespace {

std::string DirectoryOf(const std::string &path)
{
    return path.substr(0, path.rfind('\\'));
}

} // namespace

HostState::HostState(const Options &hostOptions, LibrarySearch librarySearch)
    : options(hostOptions), path(hostOptions.libraries[0]), widePath(text::FromCodePage(path)),
      installDir(hostOptions.installDir.empty() ? DirectoryOf(path) : hostOptions.installDir), search(librarySearch)
{
}

void EntryRun::Reset(const contract::Entry &which)
{
    entry = &which;
    threadId = 0;
    signals = 0;
    queueAtSignal = -1;
    returned = 0;
    result = 0;
    signalledBeforeReturn = false;
    loadError = ERROR_SUCCESS;
    context = EntryContext{}; // RunWorker fills it in
}
