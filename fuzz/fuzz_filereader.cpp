// Fuzzes the line reader over arbitrary file contents with random keys,
// limits and buffer sizes: nothing crashes, nothing is written past `size`
// bytes (the buffer is exactly that large), a delivered line is terminated
// and carries the key, and the buffer is untouched whenever 0 comes back.

#include "modutil.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

namespace {

struct Reader {
    const uint8_t *data;
    size_t size;
    unsigned Take(size_t bytes)
    {
        unsigned value = 0;
        for (; bytes > 0 && size > 0; --bytes, --size)
            value = value << 8 | *data++;
        return value;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader in{data, size};
    const int limit = static_cast<int>(in.Take(2)) - 1000;
    const unsigned bufferSize = in.Take(2) % 5000;
    std::vector<char> key(in.Take(1) % 8 + 1, '\0');
    for (size_t i = 0; i + 1 < key.size(); ++i)
        key[i] = static_cast<char>(in.Take(1));
    const bool useKey = key.size() > 1 || (in.Take(1) & 1);

    std::vector<char> contents(in.data, in.data + in.size);
    if (contents.empty())
        return 0;
    FILE *stream = fmemopen(contents.data(), contents.size(), "rb");
    if (stream == nullptr)
        return 0;

    std::vector<char> buffer(bufferSize, '\x5A');
    for (int calls = 0; calls < 64; ++calls) {
        const std::vector<char> before = buffer;
        char *out = buffer.empty() ? nullptr : buffer.data();
        const int result = MU_fGetLine(stream, limit, out, useKey ? key.data() : nullptr, bufferSize);
        if (result == 0) {
            if (buffer != before)
                std::abort();
            break;
        }
        if (result != 1 || MU_fGetPos(stream) < 0)
            std::abort();
        if (!buffer.empty()) {
            if (buffer.back() != '\0')
                std::abort();
            const size_t keyLength = std::strlen(key.data());
            if (useKey && keyLength < bufferSize && strncasecmp(buffer.data(), key.data(), keyLength) != 0)
                std::abort();
        }
    }
    MU_fClose(stream);
    return 0;
}
