#include "Symbols.h"

#include "Library.h"
#include "Paths.h"
#include "UniqueHandle.h"

#include <dbghelp.h>

std::wstring SourceOf(HANDLE session, const std::wstring &modulePath, DWORD64 base, DWORD size, DWORD64 address)
{
    const UniqueModule dbghelp(LoadSystemLibrary(L"dbghelp.dll"));
    const auto setOptions = ExportOf<decltype(&SymSetOptions)>(dbghelp.get(), "SymSetOptions");
    const auto initialize = ExportOf<decltype(&SymInitializeW)>(dbghelp.get(), "SymInitializeW");
    const auto cleanup = ExportOf<decltype(&SymCleanup)>(dbghelp.get(), "SymCleanup");
    const auto loadModule = ExportOf<decltype(&SymLoadModuleExW)>(dbghelp.get(), "SymLoadModuleExW");
    const auto fromAddress = ExportOf<decltype(&SymFromAddrW)>(dbghelp.get(), "SymFromAddrW");
    const auto lineOf = ExportOf<decltype(&SymGetLineFromAddrW64)>(dbghelp.get(), "SymGetLineFromAddrW64");
    if (setOptions == nullptr || initialize == nullptr || cleanup == nullptr || loadModule == nullptr ||
        fromAddress == nullptr || lineOf == nullptr)
        return L"";
    setOptions(SYMOPT_LOAD_LINES | SYMOPT_UNDNAME | SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS);
    if (!initialize(session, paths::DirectoryOf(modulePath).c_str(), FALSE))
        return L"";
    std::wstring where;
    if (loadModule(session, nullptr, modulePath.c_str(), nullptr, base, size, nullptr, 0) != 0) {
        constexpr ULONG kMaxName = 256;
        union {
            SYMBOL_INFOW info;
            BYTE bytes[sizeof(SYMBOL_INFOW) + kMaxName * sizeof(wchar_t)];
        } symbol{};
        symbol.info.SizeOfStruct = sizeof(SYMBOL_INFOW);
        symbol.info.MaxNameLen = kMaxName;
        DWORD64 displacement = 0;
        if (fromAddress(session, address, &displacement, &symbol.info))
            where.assign(symbol.info.Name, symbol.info.NameLen);
        IMAGEHLP_LINEW64 line{};
        line.SizeOfStruct = sizeof(line);
        DWORD column = 0;
        if (!where.empty() && lineOf(session, address, &column, &line) && line.FileName != nullptr) {
            const std::wstring file = line.FileName;
            where += L" at " + file.substr(file.find_last_of(L"\\/") + 1) + L":" + std::to_wstring(line.LineNumber);
        }
    }
    cleanup(session);
    return where;
}
