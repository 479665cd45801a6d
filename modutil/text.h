// Character classes and trimming shared by the tokenizers and the file reader.
#pragma once

#include <cstring>
#include <string_view>

namespace mu {

// Space, \t, \n, \v, \f, \r. Tested on the unsigned byte value, so bytes 0x80
// and up are never whitespace, whatever the locale.
inline bool IsSpace(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u == ' ' || (u >= '\t' && u <= '\r');
}

// The text without its leading and trailing whitespace; empty when blank.
inline std::string_view Trimmed(const char *text)
{
    while (IsSpace(*text))
        ++text;
    const char *end = text + std::strlen(text);
    while (end > text && IsSpace(end[-1]))
        --end;
    return std::string_view(text, static_cast<size_t>(end - text));
}

} // namespace mu
