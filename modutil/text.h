// Character classes shared by the tokenizers and the file reader.
#pragma once

namespace mu {

// Space, \t, \n, \v, \f, \r. Tested on the unsigned byte value, so bytes 0x80
// and up are never whitespace, whatever the locale.
inline bool IsSpace(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u == ' ' || (u >= '\t' && u <= '\r');
}

} // namespace mu
