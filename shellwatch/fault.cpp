#include "fault.h"

#include "CrashDumps.h"
#include "Exceptions.h"
#include "Symbols.h"
#include "UniqueHandle.h"

#include <dbghelp.h>

#include <iterator>

namespace {

constexpr ULONG_PTR kDumpSession = 0x5EED;   // dbghelp's name for the dump's symbols: no process of ours

using UniqueView = UniqueResource<void *, UnmapViewOfFile>;

// A dump mapped for reading, each stream checked to lie inside the file.
class MappedDump {
public:
    explicit MappedDump(const std::wstring &path)
        : file_(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)),
          dbghelp_(LoadSystemLibrary(L"dbghelp.dll"))
    {
        LARGE_INTEGER size{};
        if (!file_ || !GetFileSizeEx(file_.get(), &size) || size.QuadPart <= 0 || size.QuadPart > MAXDWORD)
            return;
        size_ = static_cast<DWORD>(size.QuadPart);
        mapping_.reset(CreateFileMappingW(file_.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (mapping_)
            view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 0));
        read_ = ExportOf<decltype(&MiniDumpReadDumpStream)>(dbghelp_.get(), "MiniDumpReadDumpStream");
    }

    // The stream, when it is there and at least `least` bytes long.
    const BYTE *Stream(ULONG type, ULONG least, ULONG &size) const
    {
        MINIDUMP_DIRECTORY *directory = nullptr;
        void *stream = nullptr;
        size = 0;
        if (!view_ || read_ == nullptr || !read_(view_.get(), type, &directory, &stream, &size) || size < least)
            return nullptr;
        return Inside(stream, size) ? static_cast<const BYTE *>(stream) : nullptr;
    }

    // The bytes at an offset of the file, when that many lie inside it.
    const BYTE *At(ULONG64 offset, ULONG64 length) const
    {
        if (!view_ || offset > size_ || length > size_ - offset)
            return nullptr;
        return static_cast<const BYTE *>(view_.get()) + offset;
    }

private:
    bool Inside(const void *pointer, ULONG64 length) const
    {
        const auto *base = static_cast<const BYTE *>(view_.get());
        const auto *at = static_cast<const BYTE *>(pointer);
        return at >= base && At(static_cast<ULONG64>(at - base), length) != nullptr;
    }

    UniqueFile file_;
    UniqueModule dbghelp_;
    UniqueHandle mapping_;
    UniqueView view_;
    DWORD size_ = 0;
    decltype(&MiniDumpReadDumpStream) read_ = nullptr;
};

} // namespace

std::wstring DescribeExitCode(DWORD code)
{
    wchar_t text[80];
    if (!exceptions::IsException(code)) {
        _snwprintf(text, std::size(text), L"exit code %lu", code);
        return text;
    }
    const char *name = exceptions::NameOf(code);
    _snwprintf(text, std::size(text), L"0x%08lX, %hs %hs", code, exceptions::ArticleOf(name), name);
    return text;
}

std::wstring DumpPathOf(DWORD processId)
{
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    return crashdumps::Directory(dir) && crashdumps::PathOf(dir, processId, path) ? path : L"";
}

std::wstring FaultIn(const std::wstring &dumpPath)
{
    static_assert(sizeof(MINIDUMP_MODULE) == 108, "the module record as the dump format lays it out");
    const MappedDump dump(dumpPath);
    ULONG size = 0;
    const auto *exception = reinterpret_cast<const MINIDUMP_EXCEPTION_STREAM *>(
        dump.Stream(ExceptionStream, sizeof(MINIDUMP_EXCEPTION_STREAM), size));
    const auto *modules = reinterpret_cast<const MINIDUMP_MODULE_LIST *>(
        dump.Stream(ModuleListStream, sizeof(ULONG32), size));
    if (exception == nullptr || modules == nullptr ||
        modules->NumberOfModules > (size - sizeof(ULONG32)) / sizeof(MINIDUMP_MODULE))
        return L"";
    const ULONG64 address = exception->ExceptionRecord.ExceptionAddress;
    for (ULONG32 i = 0; i < modules->NumberOfModules; ++i) {
        const MINIDUMP_MODULE &module = modules->Modules[i];
        if (address < module.BaseOfImage || address - module.BaseOfImage >= module.SizeOfImage)
            continue;
        std::wstring name;
        if (const BYTE *length = dump.At(module.ModuleNameRva, sizeof(ULONG32))) {
            const ULONG32 bytes = *reinterpret_cast<const ULONG32 *>(length);
            if (const BYTE *text = dump.At(ULONG64{module.ModuleNameRva} + sizeof(ULONG32), bytes))
                name.assign(reinterpret_cast<const wchar_t *>(text), bytes / sizeof(wchar_t));
        }
        // The source line, from the PDB beside the module the dump names, in a symbol session of its own.
        const std::wstring source = SourceOf(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(kDumpSession)), name,
                                             module.BaseOfImage, module.SizeOfImage, address);
        name = name.substr(name.find_last_of(L"\\/") + 1); // npos + 1 is 0: the whole name
        wchar_t offset[32];
        _snwprintf(offset, std::size(offset), L"+0x%llX", static_cast<unsigned long long>(address - module.BaseOfImage));
        return (name.empty() ? L"?" : name) + offset + (source.empty() ? L"" : L", " + source);
    }
    return L"";
}

std::wstring WriteDumpOf(HANDLE process, DWORD processId)
{
    wchar_t path[MAX_PATH];
    return crashdumps::Write(process, processId, nullptr, path) ? path : L"";
}
