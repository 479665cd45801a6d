// Text at the programs' edges. Inside, paths, environment and registry text
// are wide; they are converted only where something outside takes 8-bit
// text: UTF-8 for pipes and files (what the tools' readers and the installer
// action read), the active code page for the component contract, and the
// console's own wide calls where a console prints.
#pragma once

#include <windows.h>

#include <stdio.h>

#include <string>
#include <string_view>

namespace text {

std::string Utf8(std::wstring_view wide);
std::wstring FromUtf8(std::string_view utf8);
// The active code page, as the components' "A" calls take their text; false
// when a character has no place in it.
bool ToCodePage(std::wstring_view wide, std::string &narrow);
std::wstring FromCodePage(std::string_view narrow);

// Writes to the standard output or error: through WriteConsoleW on a
// console, as UTF-8 bytes anywhere else.
void Write(FILE *stream, std::wstring_view text);
// printf-style, wide ("%ls" for a wide string, "%hs" for an 8-bit one).
void Print(FILE *stream, const wchar_t *format, ...);

} // namespace text
