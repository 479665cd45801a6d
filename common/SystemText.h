// The system's text for an error code, on one line, without its trailing
// line break; "%1" in it replaced by `insert` where one is given.
#pragma once

#include <windows.h>

#include <string>

inline std::string SystemText(DWORD error, const std::string &insert = "")
{
    char text[512] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, sizeof(text), nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    const size_t at = message.find("%1");
    if (at != std::string::npos && !insert.empty())
        message.replace(at, 2, insert);
    return (message.empty() ? "error" : message) + " (error " + std::to_string(error) + ")";
}
