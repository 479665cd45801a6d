#include "Registry.h"

#include <iterator>

namespace registry {

std::wstring Value::Text() const
{
    if (!present || (type != REG_SZ && type != REG_EXPAND_SZ))
        return L"";
    std::wstring text(reinterpret_cast<const wchar_t *>(data.data()), data.size() / sizeof(wchar_t));
    return text.substr(0, text.find(L'\0'));
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

void DeleteKeyIfEmpty(HKEY root, const wchar_t *path, REGSAM view)
{
    UniqueKey key;
    DWORD subkeys = 0, values = 0;
    if (OpenKey(root, path, KEY_QUERY_VALUE | view, false, key) != ERROR_SUCCESS ||
        RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS ||
        subkeys != 0 || values != 0)
        return;
    key.reset();
    RegDeleteKeyExW(root, path, view, 0);
}

std::vector<std::wstring> SubkeysOf(HKEY root, const wchar_t *path, REGSAM view)
{
    std::vector<std::wstring> names;
    UniqueKey key;
    if (OpenKey(root, path, KEY_ENUMERATE_SUB_KEYS | view, false, key) != ERROR_SUCCESS)
        return names;
    constexpr DWORD kMaxKeyName = 256; // the registry's limit, terminator included
    wchar_t name[kMaxKeyName];
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(std::size(name));
        if (RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    return names;
}

} // namespace registry
