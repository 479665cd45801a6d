// Line-by-line reading of text configuration files.
//
// Files are opened in binary mode: in the C runtime's text mode, positions
// reported for files with bare line-feed endings are wrong. Trimming removes
// the carriage return of a CRLF ending, so delivered lines are the same.

#include "modutil.h"
#include "text.h"

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Lines are read through a 4096-byte buffer: a longer physical line arrives
// in pieces of 4095 characters, each treated as a line of its own.
using LineBuffer = std::array<char, MU_MAX_TEXT>;

constexpr char kUtf8Mark[3] = {'\xEF', '\xBB', '\xBF'};

// The stream's end-of-file or error indicator.
bool AtEndOrError(FILE *stream)
{
    return std::feof(stream) || std::ferror(stream);
}

// The line begins with key, ignoring case; a line shorter than key never does.
bool BeginsWithKey(std::string_view line, const char *key)
{
    size_t i = 0;
    for (; key[i] != '\0'; ++i) {
        if (i == line.size() || ascii::ToLower(line[i]) != ascii::ToLower(key[i]))
            return false;
    }
    return true;
}

// Writes exactly size bytes: the line, zero fill, and a terminator last.
void DeliverLine(char *buffer, unsigned int size, std::string_view line)
{
    const size_t length = line.size() < size ? line.size() : size - 1;
    std::memcpy(buffer, line.data(), length);
    std::memset(buffer + length, 0, size - length);
}

} // namespace

extern "C" FILE *MU_CALL MU_fOpen(const char *path)
{
    if (path == nullptr || *path == '\0')
        return nullptr;
    FILE *stream = std::fopen(path, "rb");
    if (stream != nullptr)
        std::fseek(stream, 0, SEEK_SET);
    return stream;
}

extern "C" void MU_CALL MU_fClose(FILE *stream)
{
    if (stream != nullptr)
        std::fclose(stream);
}

extern "C" int MU_CALL MU_fSetPos(FILE *stream, int offset, int fromCurrent)
{
    if (stream == nullptr)
        return -1;
    // The target is checked before the stream is touched: the C runtime may
    // drop its read buffer on a seek it then refuses, losing the position.
    const long current = fromCurrent ? std::ftell(stream) : 0;
    if (current < 0)
        return -1;
    const long long target = static_cast<long long>(current) + offset;
    if (target < 0 || target > INT_MAX || std::fseek(stream, static_cast<long>(target), SEEK_SET) != 0)
        return -1;
    return static_cast<int>(target);
}

extern "C" int MU_CALL MU_fGetPos(FILE *stream)
{
    return stream == nullptr ? -1 : static_cast<int>(std::ftell(stream));
}

extern "C" int MU_CALL MU_fGetLine(FILE *stream, int limit, char *buffer, const char *key,
                                   unsigned int size)
{
    if (stream == nullptr)
        return 0;

    LineBuffer line;
    for (;;) {
        if (AtEndOrError(stream))
            return 0;
        // A line that starts at or before the limit is read in full.
        const long start = std::ftell(stream);
        if (limit > 0 && start > limit)
            return 0;
        if (std::fgets(line.data(), static_cast<int>(line.size()), stream) == nullptr)
            continue; // the indicators end the loop
        // A UTF-8 byte-order mark at the very start of the file (a file saved
        // as "UTF-8 with BOM") is no data: it is taken as whitespace.
        const bool marked = start == 0 && std::memcmp(line.data(), kUtf8Mark, sizeof(kUtf8Mark)) == 0;
        // Trimmed in place of MU_StripWS: the same line, without moving it.
        const std::string_view text = mu::Trimmed(line.data() + (marked ? sizeof(kUtf8Mark) : 0));
        if (text.empty() || text[0] == ';')
            continue;
        if (key != nullptr && *key != '\0' && !BeginsWithKey(text, key))
            continue;
        if (buffer != nullptr && size > 0)
            DeliverLine(buffer, size, text);
        return 1;
    }
}

extern "C" int MU_CALL MU_fGetNextLine(FILE *stream, int limit, char *buffer, unsigned int size)
{
    return MU_fGetLine(stream, limit, buffer, nullptr, size);
}

extern "C" int MU_CALL MU_fFindSetPos(FILE *stream, const char *key)
{
    MU_fGetLine(stream, 0, nullptr, key, 0);
    return MU_fGetPos(stream);
}
