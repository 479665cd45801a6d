// Reads a generated configuration file of at least 50 MB line by line with
// MU_fGetNextLine at buffer sizes 0, 256 and 4096, side by side in one run
// with a raw fgets loop and a floor loop that does only what the reader
// cannot avoid (fgets, trimming, the copy and the fill of exactly `size`
// bytes). Reports medians and speed ratios (higher is better for modutil).
//
//   bench_filereader [file] [runs]
//
// Built natively with inih available, it also compares whole-file parsing:
// inih's ini_parse_file against MU_fGetNextLine plus MU_SimpleToken per line.

#include "ascii.h"
#include "bench_util.h"
#include "modutil.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef HAVE_INIH
#include <ini.h>
#endif

namespace {

constexpr long kMinBytes = 50L * 1024 * 1024;

void Generate(const char *path)
{
    FILE *out = std::fopen(path, "wb");
    if (out == nullptr)
        return;
    long written = 0;
    for (unsigned i = 0; written < kMinBytes; ++i) {
        char line[256];
        int n;
        switch (i % 10) {
        case 0: n = std::snprintf(line, sizeof(line), "[Section%u]\n", i / 10); break;
        case 1: n = std::snprintf(line, sizeof(line), "; comment about setting %u\n", i); break;
        case 2: n = std::snprintf(line, sizeof(line), "\n"); break;
        case 3: n = std::snprintf(line, sizeof(line), "    Path%u = \"C:\\Program Files\\Shell\\item %u.dll\"\n", i, i); break;
        default: n = std::snprintf(line, sizeof(line), "  Key%u = value %u other words here\t\n", i, i * 7); break;
        }
        std::fwrite(line, 1, n, out);
        written += n;
    }
    std::fclose(out);
}

// The raw limit: fgets alone.
long RawLoop(const char *path, unsigned)
{
    FILE *f = std::fopen(path, "rb");
    char line[4096];
    long lines = 0;
    while (std::fgets(line, sizeof(line), f))
        ++lines;
    std::fclose(f);
    return lines;
}

// The floor: fgets, trim, and for a buffer the copy and exact fill.
long FloorLoop(const char *path, unsigned size)
{
    FILE *f = std::fopen(path, "rb");
    char line[4096];
    std::vector<char> buffer(size + 1);
    long lines = 0;
    while (std::fgets(line, sizeof(line), f)) {
        char *start = line;
        while (ascii::IsSpace(*start))
            ++start;
        char *end = start + std::strlen(start);
        while (end > start && ascii::IsSpace(end[-1]))
            --end;
        if (end == start || *start == ';')
            continue;
        if (size > 0) {
            const size_t length = std::min<size_t>(end - start, size - 1);
            std::memcpy(buffer.data(), start, length);
            std::memset(buffer.data() + length, 0, size - length);
        }
        ++lines;
    }
    std::fclose(f);
    return lines;
}

long ModutilLoop(const char *path, unsigned size)
{
    FILE *f = MU_fOpen(path);
    std::vector<char> buffer(size + 1);
    long lines = 0;
    while (MU_fGetNextLine(f, 0, size ? buffer.data() : nullptr, size))
        ++lines;
    MU_fClose(f);
    return lines;
}

#ifdef HAVE_INIH
long ModutilTokensLoop(const char *path, unsigned)
{
    FILE *f = MU_fOpen(path);
    static char line[MU_MAX_TEXT], token[MU_MAX_TEXT];
    long tokens = 0;
    while (MU_fGetNextLine(f, 0, line, sizeof(line))) {
        while (line[0] != '\0' && MU_SimpleToken(token, line, line))
            ++tokens;
    }
    MU_fClose(f);
    return tokens;
}

long InihLoop(const char *path, unsigned)
{
    FILE *f = std::fopen(path, "rb");
    long pairs = 0;
    ini_parse_file(f, [](void *user, const char *, const char *, const char *) {
        ++*static_cast<long *>(user);
        return 1;
    }, &pairs);
    std::fclose(f);
    return pairs;
}
#endif

using Loop = long (*)(const char *, unsigned);

// Runs the loops interleaved, `runs` times, and returns each one's median.
std::vector<double> Measure(const std::vector<Loop> &loops, const char *path, unsigned size, int runs)
{
    std::vector<std::vector<double>> times(loops.size());
    for (int r = 0; r < runs; ++r) {
        for (size_t i = 0; i < loops.size(); ++i) {
            const double start = bench::NowMs();
            volatile long sink = loops[i](path, size);
            (void)sink;
            times[i].push_back(bench::NowMs() - start);
        }
    }
    std::vector<double> medians;
    medians.reserve(times.size());
    for (auto &t : times)
        medians.push_back(bench::Median(t));
    return medians;
}

} // namespace

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "bench_config.rc";
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;

    FILE *existing = std::fopen(path, "rb");
    long bytes = 0;
    if (existing != nullptr) {
        std::fseek(existing, 0, SEEK_END);
        bytes = std::ftell(existing);
        std::fclose(existing);
    }
    if (bytes < kMinBytes) {
        Generate(path);
        bytes = kMinBytes;
    }
    RawLoop(path, 0); // warm the file cache

    std::printf("file reader, %s, %d runs, medians in ms\n", path, runs);
    std::printf("%6s %9s %9s %9s %12s %14s\n", "size", "fgets", "floor", "modutil", "vs fgets", "vs floor");
    for (unsigned size : {0u, 256u, 4096u}) {
        const auto m = Measure({RawLoop, FloorLoop, ModutilLoop}, path, size, runs);
        std::printf("%6u %9.1f %9.1f %9.1f %12.2f %14.2f\n", size, m[0], m[1], m[2], m[0] / m[2], m[1] / m[2]);
    }
#ifdef HAVE_INIH
    const auto m = Measure({InihLoop, ModutilTokensLoop}, path, 0, runs);
    std::printf("whole-file parse: inih %.1f ms, MU_fGetNextLine+MU_SimpleToken %.1f ms, modutil speed vs inih %.2f\n",
                m[0], m[1], m[0] / m[1]);
#endif
    return 0;
}
