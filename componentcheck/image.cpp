// Walks the headers of a library loaded in this process.

#include "image.h"

#include <string.h>

namespace {

const IMAGE_NT_HEADERS *Headers(HMODULE module)
{
    const auto base = reinterpret_cast<const BYTE *>(module);
    const auto dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    return reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
}

template <typename T>
T *At(HMODULE module, DWORD rva)
{
    return reinterpret_cast<T *>(reinterpret_cast<BYTE *>(module) + rva);
}

const IMAGE_DATA_DIRECTORY &Directory(HMODULE module, int which)
{
    return Headers(module)->OptionalHeader.DataDirectory[which];
}

} // namespace

// The names the library exports.
static std::vector<std::string> ExportNames(HMODULE module)
{
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY &directory = Directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (directory.VirtualAddress == 0)
        return names;
    const auto exports = At<const IMAGE_EXPORT_DIRECTORY>(module, directory.VirtualAddress);
    const auto nameRvas = At<const DWORD>(module, exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        names.emplace_back(At<const char>(module, nameRvas[i]));
    return names;
}

// The names of the libraries it imports from.
static std::vector<std::string> ImportNames(HMODULE module)
{
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY &directory = Directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (directory.VirtualAddress == 0)
        return names;
    for (auto library = At<const IMAGE_IMPORT_DESCRIPTOR>(module, directory.VirtualAddress); library->Name != 0;
         ++library)
        names.emplace_back(At<const char>(module, library->Name));
    return names;
}

bool ReadImageNames(const std::string &path, bool exports, std::vector<std::string> &names, DWORD &error)
{
    HMODULE image = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (image == nullptr) {
        error = GetLastError();
        return false;
    }
    constexpr ULONG_PTR kMappingFlags = 3; // the low bits of a handle from a data-file load
    const auto base = reinterpret_cast<HMODULE>(reinterpret_cast<ULONG_PTR>(image) & ~kMappingFlags);
    names = exports ? ExportNames(base) : ImportNames(base);
    FreeLibrary(image);
    return true;
}

void *PatchImport(HMODULE module, const char *function, void *replacement)
{
    void *original = nullptr;
    const IMAGE_DATA_DIRECTORY &directory = Directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (directory.VirtualAddress == 0)
        return nullptr;
    for (auto library = At<const IMAGE_IMPORT_DESCRIPTOR>(module, directory.VirtualAddress); library->Name != 0;
         ++library) {
        if (library->OriginalFirstThunk == 0)
            continue; // no names to go by
        auto names = At<const IMAGE_THUNK_DATA>(module, library->OriginalFirstThunk);
        auto slots = At<IMAGE_THUNK_DATA>(module, library->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto byName = At<const IMAGE_IMPORT_BY_NAME>(module, static_cast<DWORD>(names->u1.AddressOfData));
            if (strcmp(reinterpret_cast<const char *>(byName->Name), function) != 0)
                continue;
            void **slot = reinterpret_cast<void **>(&slots->u1.Function);
            if (original == nullptr)
                original = *slot;
            DWORD protection;
            if (*slot != original || !VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection))
                continue;
            *slot = replacement;
            VirtualProtect(slot, sizeof(*slot), protection, &protection);
        }
    }
    return original;
}

bool IsUnmapped(const void *base)
{
    MEMORY_BASIC_INFORMATION memory;
    if (VirtualQuery(base, &memory, sizeof(memory)) == 0)
        return true;
    return memory.State == MEM_FREE || memory.Type != MEM_IMAGE || memory.AllocationBase != base;
}
