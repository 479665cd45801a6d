// Walks the headers of a library loaded in this process.

#include "image.h"

#include "UniqueHandle.h"

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

// A library mapped as a data file: the loader checked its headers, nothing
// behind them. Every address it holds is checked to lie inside the image
// before it is read.
class ImageView {
public:
    explicit ImageView(HMODULE module)
        : base_(reinterpret_cast<const BYTE *>(module)), size_(Headers(module)->OptionalHeader.SizeOfImage)
    {
    }

    template <typename T>
    const T *At(DWORD rva, DWORD count = 1) const
    {
        return rva <= size_ && count <= (size_ - rva) / sizeof(T) ? reinterpret_cast<const T *>(base_ + rva)
                                                                   : nullptr;
    }

    // A name, when it ends inside the image.
    const char *Name(DWORD rva) const
    {
        if (rva >= size_)
            return nullptr;
        const auto *name = reinterpret_cast<const char *>(base_ + rva);
        return memchr(name, '\0', size_ - rva) != nullptr ? name : nullptr;
    }

private:
    const BYTE *base_;
    DWORD size_;
};

} // namespace

// The names the library exports; false when an address in its table lies outside it.
static bool ExportNames(HMODULE module, std::vector<std::string> &names)
{
    const ImageView image(module);
    const IMAGE_DATA_DIRECTORY &directory = Directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (directory.VirtualAddress == 0)
        return true;
    const auto exports = image.At<IMAGE_EXPORT_DIRECTORY>(directory.VirtualAddress);
    const auto nameRvas = exports ? image.At<DWORD>(exports->AddressOfNames, exports->NumberOfNames) : nullptr;
    if (nameRvas == nullptr)
        return false;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        const char *name = image.Name(nameRvas[i]);
        if (name == nullptr)
            return false;
        names.emplace_back(name);
    }
    return true;
}

// The names of the libraries it imports from; false as above.
static bool ImportNames(HMODULE module, std::vector<std::string> &names)
{
    const ImageView image(module);
    const IMAGE_DATA_DIRECTORY &directory = Directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (directory.VirtualAddress == 0)
        return true;
    for (DWORD rva = directory.VirtualAddress;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto library = image.At<IMAGE_IMPORT_DESCRIPTOR>(rva);
        if (library == nullptr)
            return false;
        if (library->Name == 0)
            return true;
        const char *name = image.Name(library->Name);
        if (name == nullptr)
            return false;
        names.emplace_back(name);
    }
}

bool ReadImageNames(const std::string &path, bool exports, std::vector<std::string> &names, DWORD &error)
{
    const UniqueModule image(
        LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!image) {
        error = GetLastError();
        return false;
    }
    constexpr ULONG_PTR kMappingFlags = 3; // the low bits of a handle from a data-file load
    const auto base = reinterpret_cast<HMODULE>(reinterpret_cast<ULONG_PTR>(image.get()) & ~kMappingFlags);
    names.clear();
    const bool read = exports ? ExportNames(base, names) : ImportNames(base, names);
    if (!read)
        error = ERROR_BAD_EXE_FORMAT; // its tables point outside it
    return read;
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
