// Fuzzes one tokenizer (chosen at build time by FUZZ_BREAK_TOKENS): nothing
// crashes, outputs stay within their 4096 bytes (the sanitizers watch exactly
// sized heap buffers), and outputs are untouched on failure.

#include "modutil.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first byte picks how the outputs alias the source.
    const unsigned mode = size > 0 ? data[0] % 3 : 0;
    if (size > 0) {
        ++data;
        --size;
    }

    std::vector<char> source(data, data + size);
    source.push_back('\0');
    std::vector<char> first(MU_MAX_TEXT, '\x5A'), second(MU_MAX_TEXT, '\x5A');

    // Aliasing needs the source in an output-sized buffer.
    const bool aliased = mode != 0 && source.size() <= MU_MAX_TEXT;
    std::vector<char> &alias = mode == 1 ? first : second;
    if (aliased)
        std::memcpy(alias.data(), source.data(), source.size());
    const char *src = aliased ? alias.data() : source.data();
    const std::vector<char> firstBefore = first, secondBefore = second;

#ifdef FUZZ_BREAK_TOKENS
    const int result = MU_BreakTokens(first.data(), second.data(), src);
#else
    const int result = MU_SimpleToken(first.data(), second.data(), src);
#endif

    if (result == 0) {
        if (first != firstBefore || second != secondBefore)
            std::abort();
    } else if (result == 1) {
        if (std::memchr(first.data(), '\0', first.size()) == nullptr ||
            std::memchr(second.data(), '\0', second.size()) == nullptr)
            std::abort();
    } else {
        std::abort();
    }
    return 0;
}
