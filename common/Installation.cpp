#include "Installation.h"

#include "UniqueHandle.h"
#include "contract.h"

#include <tlhelp32.h>

#include <iterator>

namespace installation {

std::wstring Value::Text() const
{
    if (!present || (type != REG_SZ && type != REG_EXPAND_SZ))
        return L"";
    std::wstring text(reinterpret_cast<const wchar_t *>(data.data()), data.size() / sizeof(wchar_t));
    return text.substr(0, text.find(L'\0'));
}

LONG OpenKey(HKEY root, const wchar_t *path, REGSAM access, bool create, UniqueKey &key)
{
    const LONG error = create ? RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                                key.put(), nullptr)
                              : RegOpenKeyExW(root, path, 0, access, key.put());
    if (error != ERROR_SUCCESS)
        key.release(); // a failed call may leave a value there that is no key
    return error;
}

LONG Read(HKEY key, const wchar_t *name, Value &value)
{
    value = Value{};
    DWORD size = 0;
    LONG error = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
    if (error == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (error != ERROR_SUCCESS)
        return error;
    value.data.resize(size);
    error = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
    value.data.resize(size);
    value.present = error == ERROR_SUCCESS;
    return error;
}

LONG Write(HKEY key, const wchar_t *name, const Value &value)
{
    if (!value.present) {
        const LONG error = RegDeleteValueW(key, name);
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    return RegSetValueExW(key, name, 0, value.type, value.data.data(), static_cast<DWORD>(value.data.size()));
}

Value TextValue(const std::wstring &text)
{
    Value value;
    value.present = true;
    value.type = REG_SZ;
    const auto *bytes = reinterpret_cast<const BYTE *>(text.c_str());
    value.data.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t)); // with its terminator
    return value;
}

Value NumberValue(DWORD number)
{
    Value value;
    value.present = true;
    value.type = REG_DWORD;
    const auto *bytes = reinterpret_cast<const BYTE *>(&number);
    value.data.assign(bytes, bytes + sizeof(number));
    return value;
}

LONG ReadSaved(HKEY product, Saved &saved)
{
    saved = Saved{};
    Value previous, older;
    LONG error = Read(product, kPreviousValue, previous);
    if (error == ERROR_SUCCESS)
        error = Read(product, kOlderSavedValue, older);
    if (error != ERROR_SUCCESS)
        return error;
    saved.present = previous.present || older.present;
    const bool none = !older.present && previous.type == REG_NONE && previous.data.empty();
    if (previous.present && !none)
        saved.previous = previous;
    return ERROR_SUCCESS;
}

LONG WriteSaved(HKEY product, const Value &previous)
{
    Value kept = previous;
    if (!kept.present) { // "there was none", as a value of no type and no bytes
        kept.present = true;
        kept.type = REG_NONE;
        kept.data.clear();
    }
    const LONG error = Write(product, kPreviousValue, kept);
    return error == ERROR_SUCCESS ? Write(product, kOlderSavedValue, Value{}) : error;
}

LONG ForgetSaved(HKEY product)
{
    const LONG error = Write(product, kOlderSavedValue, Value{});
    return error == ERROR_SUCCESS ? Write(product, kPreviousValue, Value{}) : error;
}

std::wstring ProgramOf(const std::wstring &command)
{
    if (!command.empty() && command[0] == L'"')
        return command.substr(1, command.find(L'"', 1) - 1);
    return command.substr(0, command.find(L' '));
}

std::wstring FullPath(const std::wstring &path)
{
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(std::size(full)), full, nullptr);
    if (length == 0 || length >= std::size(full))
        return L"";
    std::wstring result(full, length);
    while (result.size() > 3 && result.back() == L'\\') // keep "C:\"
        result.pop_back();
    return result;
}

std::wstring ProgramDir()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    if (length == 0 || length >= std::size(path))
        return L"";
    std::wstring dir(path, length);
    return dir.substr(0, dir.rfind(L'\\'));
}

bool FileExists(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool NamesInstallation(const std::wstring &command, const std::wstring &dir)
{
    const std::wstring program = FullPath(ProgramOf(command));
    for (const std::wstring &file : {Widen(contract::kLauncherFile), std::wstring(kWatcherFile)}) {
        std::wstring path = dir;
        path.append(L"\\").append(file);
        const std::wstring ours = FullPath(path);
        if (!program.empty() && CompareStringOrdinal(program.c_str(), -1, ours.c_str(), -1, TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

std::string Narrow(const std::wstring &text)
{
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string result(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), result.data(), size, nullptr,
                            nullptr);
    return result;
}

std::wstring Widen(const std::string &text)
{
    const int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(size > 0 ? size : 0, L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

std::string HeldBy(DWORD launcher)
{
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, launcher));
    bool loaded[3] = {};
    const char *const libraries[3] = {contract::kConfigLibrary, contract::kServicesLibrary, contract::kCoreLibrary};
    MODULEENTRY32 module;
    module.dwSize = sizeof(module);
    for (BOOL ok = snapshot && Module32First(snapshot.get(), &module); ok; ok = Module32Next(snapshot.get(), &module)) {
        for (int i = 0; i < 3; ++i)
            loaded[i] = loaded[i] || _stricmp(module.szModule, libraries[i]) == 0;
    }
    if (loaded[2])
        return std::string(contract::kCoreLibrary) + ": " + contract::kShellMain + " has not signalled";
    if (loaded[1])
        return std::string(contract::kServicesLibrary) + ": " + contract::kRunStartup + " or " +
               contract::kServiceMain + " has not signalled";
    if (loaded[0])
        return std::string(contract::kConfigLibrary) + ": " + contract::kFillBuffer + " has not returned";
    return "none of its components is loaded yet";
}

} // namespace installation
