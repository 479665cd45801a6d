// Trimming shared by the tokenizers and the file reader.
#pragma once

#include "ascii.h"

#include <cstring>
#include <string_view>

namespace mu {

// The text without its leading and trailing whitespace; empty when blank.
inline std::string_view Trimmed(const char *text)
{
    while (ascii::IsSpace(*text))
        ++text;
    const char *end = text + std::strlen(text);
    while (end > text && ascii::IsSpace(end[-1]))
        --end;
    return std::string_view(text, static_cast<size_t>(end - text));
}

} // namespace mu
