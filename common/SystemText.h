// The system's text for an error code, on one line, without its trailing
// line break; "%1" in it replaced by `insert` where one is given.
#pragma once

#include <windows.h>

#include <iterator>
#include <string>

inline std::wstring SystemText(DWORD error, const std::wstring &insert = L"")
{
    wchar_t text[512] = L"";
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, static_cast<DWORD>(std::size(text)), nullptr);
    std::wstring message(text, length);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
        message.pop_back();
    const size_t at = message.find(L"%1");
    if (at != std::wstring::npos && !insert.empty())
        message.replace(at, 2, insert);
    return (message.empty() ? L"error" : message) + L" (error " + std::to_wstring(error) + L")";
}
