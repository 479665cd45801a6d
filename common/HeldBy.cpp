#include "HeldBy.h"

#include "UniqueHandle.h"
#include "contract.h"

#include <tlhelp32.h>

#include <string_view>

namespace {

std::wstring Wide(std::string_view ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

bool Loaded(HANDLE snapshot, const char *library)
{
    const std::wstring name = Wide(library);
    MODULEENTRY32W module;
    module.dwSize = sizeof(module);
    for (BOOL ok = Module32FirstW(snapshot, &module); ok; ok = Module32NextW(snapshot, &module)) {
        if (CompareStringOrdinal(module.szModule, -1, name.c_str(), -1, TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

} // namespace

std::wstring HeldBy(DWORD launcher)
{
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, launcher));
    const contract::Role *holding = nullptr;
    for (const contract::Role &role : contract::kStartRoles) {
        if (snapshot && Loaded(snapshot.get(), contract::LibraryOf(role)))
            holding = &role;
    }
    if (holding == nullptr)
        return L"none of its components is loaded yet";
    // Its entries in the start order, up to the one -s1 runs instead.
    std::wstring entries;
    bool onMainThread = false;
    for (const contract::Entry &entry : contract::kEntries) {
        if (std::string_view(entry.name) == contract::kForceStartup)
            break;
        if (entry.role != *holding)
            continue;
        entries += (entries.empty() ? L"" : L" or ") + Wide(entry.name);
        onMainThread = entry.call == contract::Call::MainThread;
    }
    return Wide(contract::LibraryOf(*holding)) + L": " + entries +
           (onMainThread ? L" has not returned" : L" has not signalled");
}
