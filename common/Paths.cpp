#include "Paths.h"

#include <iterator>

namespace paths {

namespace {

// Fills a buffer by a call that says how long its text is; grows it when the
// call asks for more. Empty when the call fails.
template <typename Call>
std::wstring Filled(Call call)
{
    std::wstring text(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length = call(text.data(), static_cast<DWORD>(text.size()));
        if (length == 0)
            return L"";
        if (length < text.size()) {
            text.resize(length);
            return text;
        }
        text.assign(length + 1, L'\0');
    }
    return L"";
}

} // namespace

std::wstring Full(const std::wstring &path)
{
    if (path.empty())
        return L"";
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(std::size(full)), full, nullptr);
    if (length == 0 || length >= std::size(full))
        return L"";
    std::wstring result(full, length);
    while (result.size() > 3 && result.back() == L'\\') // keep "C:\"
        result.pop_back();
    return result;
}

std::wstring Long(const std::wstring &path)
{
    std::wstring full = Full(path);
    if (full.empty())
        return full;
    const std::wstring made = Filled([&](wchar_t *buffer, DWORD size) { return GetLongPathNameW(full.c_str(), buffer, size); });
    return made.empty() ? full : made;
}

bool Same(const std::wstring &a, const std::wstring &b)
{
    const std::wstring first = Long(a), second = Long(b);
    return !first.empty() && CompareStringOrdinal(first.c_str(), -1, second.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring DirectoryOf(const std::wstring &path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"" : path.substr(0, slash);
}

std::wstring Join(const std::wstring &dir, const std::wstring &name)
{
    return dir.empty() || dir.back() == L'\\' ? dir + name : dir + L"\\" + name;
}

std::wstring ProgramPath()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    return length == 0 || length >= std::size(path) ? L"" : std::wstring(path, length);
}

std::wstring ProgramDir()
{
    return DirectoryOf(ProgramPath());
}

std::wstring SystemDir()
{
    return Filled([](wchar_t *buffer, DWORD size) { return GetSystemDirectoryW(buffer, size); });
}

std::wstring WindowsDir()
{
    return Filled([](wchar_t *buffer, DWORD size) { return GetSystemWindowsDirectoryW(buffer, size); });
}

bool FileExists(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

} // namespace paths
