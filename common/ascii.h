// Character classes of configuration and command-line text, shared by the
// launcher, modutil and their benchmarks. Bytes are taken as unsigned: 0x80
// and up are never whitespace and never change case, whatever the locale.
#pragma once

namespace ascii {

// Space, \t, \n, \v, \f, \r: the standard library's isspace in the C locale.
constexpr bool IsSpace(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u == ' ' || (u >= '\t' && u <= '\r');
}

// A to Z lowered; every other byte unchanged.
constexpr char ToLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// a to z raised; every other byte unchanged.
constexpr char ToUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace ascii
