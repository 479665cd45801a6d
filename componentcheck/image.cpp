// A library's image: its tables read and patched, and why it cannot be loaded.

#include "image.h"

#include "checks.h"

#include "Paths.h"
#include "SystemText.h"
#include "Text.h"
#include "UniqueHandle.h"

#include <string.h>

#include <algorithm>
#include <set>

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

bool ReadImageNames(const std::wstring &path, bool exports, std::vector<std::string> &names, DWORD &error)
{
    const UniqueModule image(
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
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

bool ReadExports(const std::wstring &path, Exports &exports, DWORD &error)
{
    // Never run here: its DllMain must first run where the shell would run it.
    return ReadImageNames(path, true, exports.names, error);
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

namespace {

constexpr WORD kThisMachine = sizeof(void *) == 4 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;

// Whether the file ends inside its sections: a copy or download that
// stopped, which the loader calls only "bad format".
bool CutShort(HANDLE file, LONG sections, WORD count, std::string &why)
{
    LARGE_INTEGER size{};
    unsigned long long end = 0;
    IMAGE_SECTION_HEADER section;
    DWORD read = 0;
    if (!GetFileSizeEx(file, &size) || SetFilePointer(file, sections, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return false;
    for (WORD i = 0; i < count && end != ~0ull; ++i) {
        const bool whole = ReadFile(file, &section, sizeof(section), &read, nullptr) && read == sizeof(section);
        end = whole ? std::max(end, 0ull + section.PointerToRawData + section.SizeOfRawData) : ~0ull;
    }
    if (end <= static_cast<unsigned long long>(size.QuadPart))
        return false;
    why = "a truncated file: it ends at " + std::to_string(size.QuadPart) + " bytes, inside its sections";
    return true;
}

// The machine of a PE file; 0 with the reason in why when it is none.
WORD MachineOf(const std::wstring &path, std::string &why)
{
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    IMAGE_DOS_HEADER dos{};
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), &dos, sizeof(dos), &read, nullptr) || read < sizeof(WORD) ||
        dos.e_magic != IMAGE_DOS_SIGNATURE) {
        why = "not a Windows library: the file has no PE header (a text file, or another kind of file?)";
        return 0;
    }
    struct {
        DWORD signature;
        IMAGE_FILE_HEADER header;
    } nt{};
    if (read < sizeof(dos) || SetFilePointer(file.get(), dos.e_lfanew, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(file.get(), &nt, sizeof(nt), &read, nullptr) || read < sizeof(nt)) {
        why = "a truncated file: its PE header is cut off";
        return 0;
    }
    if (nt.signature != IMAGE_NT_SIGNATURE) {
        why = "not a Windows library: the file has no PE header";
        return 0;
    }
    const LONG sections = dos.e_lfanew + static_cast<LONG>(sizeof(nt)) + nt.header.SizeOfOptionalHeader;
    return CutShort(file.get(), sections, nt.header.NumberOfSections, why) ? 0 : nt.header.Machine;
}

// Walks the imports of the library (and of the DLLs found beside it) with the
// shell's search: the library's directory, which is the shell's application
// directory too, then the system's.
void FindMissing(const std::wstring &path, const std::wstring &dir, std::set<std::wstring> &seen,
                 std::vector<std::string> &missing)
{
    std::vector<std::string> names;
    DWORD error = ERROR_SUCCESS;
    if (!ReadImageNames(path, false, names, error))
        return;
    const std::wstring systemDir = paths::SystemDir();
    for (const std::string &name : names) {
        const std::wstring wide = text::FromUtf8(name);
        std::wstring lower = wide;
        CharLowerBuffW(lower.data(), static_cast<DWORD>(lower.size()));
        if (!seen.insert(lower).second || lower.rfind(L"api-ms-", 0) == 0 || lower.rfind(L"ext-ms-", 0) == 0)
            continue; // api sets are the system's own
        if (paths::FileExists(paths::Join(dir, wide)))
            FindMissing(paths::Join(dir, wide), dir, seen, missing);
        else if (!paths::FileExists(paths::Join(systemDir, wide)))
            missing.push_back(name);
    }
}

} // namespace

std::string WhyUnloadable(const std::wstring &path, DWORD error)
{
    if (!paths::FileExists(path))
        return "no such file: " + text::Utf8(path);
    std::string why;
    const WORD machine = MachineOf(path, why);
    if (machine == 0)
        return why;
    if (machine != kThisMachine)
        return machine == IMAGE_FILE_MACHINE_AMD64 ? "a 64-bit library: use the 64-bit componentcheck"
               : machine == IMAGE_FILE_MACHINE_I386 ? "a 32-bit library: use the 32-bit componentcheck"
                                                    : "a library for another machine than this componentcheck's";
    std::set<std::wstring> seen;
    std::vector<std::string> missing;
    if (error == ERROR_MOD_NOT_FOUND)
        FindMissing(path, paths::DirectoryOf(path), seen, missing);
    if (missing.empty())
        return text::Utf8(SystemText(error, path));
    std::string list;
    for (const auto &name : missing)
        list += (list.empty() ? "" : ", ") + name;
    return "needs " + list + ": not found beside it or in the system directory, the only places the shell looks: " +
           "copy " + (missing.size() == 1 ? "it" : "them") + " beside the component";
}
