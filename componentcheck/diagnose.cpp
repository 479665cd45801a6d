// Why a library cannot be loaded, in words an author can act on: no such
// file, not a Windows library, the other bitness, or the DLLs it needs that
// the shell's library search would not find.

#include "diagnose.h"

#include "ascii.h"
#include "image.h"
#include "Paths.h"
#include "Text.h"
#include "SystemText.h"
#include "UniqueHandle.h"

#include <algorithm>
#include <set>

namespace {

constexpr WORD kThisMachine = sizeof(void *) == 4 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;

std::string DirectoryOf(const std::string &path)
{
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string InDirectory(const std::string &dir, const std::string &name)
{
    std::string path = dir;
    path += '\\';
    path += name;
    return path;
}

bool Exists(const std::string &path)
{
    return paths::FileExists(text::FromCodePage(path));
}

// The machine of a PE file; 0 with the reason in why when it is none.
WORD MachineOf(const std::string &path, std::string &why)
{
    const UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
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
    // A file cut short (a copy or download that stopped) ends inside its
    // sections; the loader calls that only "bad format".
    LARGE_INTEGER size{};
    const LONG sections = dos.e_lfanew + static_cast<LONG>(sizeof(nt)) + nt.header.SizeOfOptionalHeader;
    unsigned long long end = 0;
    IMAGE_SECTION_HEADER section;
    if (GetFileSizeEx(file.get(), &size) &&
        SetFilePointer(file.get(), sections, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER) {
        for (WORD i = 0; i < nt.header.NumberOfSections; ++i) {
            if (!ReadFile(file.get(), &section, sizeof(section), &read, nullptr) || read < sizeof(section)) {
                end = ~0ull;
                break;
            }
            end = std::max(end, 0ull + section.PointerToRawData + section.SizeOfRawData);
        }
        if (end > static_cast<unsigned long long>(size.QuadPart)) {
            why = "a truncated file: it ends at " + std::to_string(size.QuadPart) + " bytes, inside its sections";
            return 0;
        }
    }
    return nt.header.Machine;
}

// Walks the imports of the library (and of the DLLs found beside it) with the
// shell's search: the library's directory, the application's, the system's.
void FindMissing(const std::string &path, const std::string &libraryDir, std::set<std::string> &seen,
                 std::vector<std::string> &missing)
{
    std::vector<std::string> names;
    DWORD error = ERROR_SUCCESS;
    if (!ReadImageNames(path, false, names, error))
        return;

    char buffer[MAX_PATH];
    const std::string systemDir(buffer, GetSystemDirectoryA(buffer, sizeof(buffer)));
    std::string appDir;
    text::ToCodePage(paths::ProgramDir(), appDir);
    for (const std::string &name : names) {
        std::string lower = name;
        for (char &c : lower)
            c = ascii::ToLower(c);
        if (!seen.insert(lower).second || lower.rfind("api-ms-", 0) == 0 || lower.rfind("ext-ms-", 0) == 0)
            continue; // api sets are the system's own
        if (Exists(InDirectory(libraryDir, name)))
            FindMissing(InDirectory(libraryDir, name), libraryDir, seen, missing);
        else if (!Exists(InDirectory(appDir, name)) && !Exists(InDirectory(systemDir, name)))
            missing.push_back(name);
    }
}

} // namespace

std::string WhyUnloadable(const std::string &path, DWORD error)
{
    if (!Exists(path))
        return "no such file: " + path;
    std::string why;
    const WORD machine = MachineOf(path, why);
    if (machine == 0)
        return why;
    if (machine != kThisMachine)
        return machine == IMAGE_FILE_MACHINE_AMD64 ? "a 64-bit library: use the 64-bit componentcheck"
               : machine == IMAGE_FILE_MACHINE_I386 ? "a 32-bit library: use the 32-bit componentcheck"
                                                    : "a library for another machine than this componentcheck's";
    if (error == ERROR_MOD_NOT_FOUND) {
        std::set<std::string> seen;
        std::vector<std::string> missing;
        FindMissing(path, DirectoryOf(path), seen, missing);
        if (!missing.empty()) {
            std::string list;
            for (const auto &name : missing)
                list += (list.empty() ? "" : ", ") + name;
            return "needs " + list +
                   ": not found beside it, in the application directory or the system directories";
        }
    }
    return text::Utf8(SystemText(error, text::FromCodePage(path)));
}
