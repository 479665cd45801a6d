// The same stretched transparent draw, a 256x256 source with a scattering of
// the transparent colour stretched to 512x512 on a 32-bit DIB section, done by
// MU_TransparentStretchBlt and by the platform's own TransparentBlt, side by
// side in one run. Reports the median time ratio and how many destination
// pixels differ between the two.
//
//   bench_blit [rounds] [draws per round]

#include "bench_util.h"
#include "DibSurface.h"
#include "modutil.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr COLORREF kKey = RGB(255, 0, 255);

COLORREF Source(int x, int y)
{
    if ((x * 31 + y * 17) % 11 == 0)
        return kKey;
    return RGB(x * 3 % 256, y * 5 % 256, (x ^ y) & 0xFE);
}

COLORREF Backdrop(int x, int y)
{
    return RGB(y % 256, x % 256, 0x40);
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 11;
    const int draws = argc > 2 ? std::atoi(argv[2]) : 50;

    DibSurface source(256, 256), ours(512, 512), platform(512, 512);
    source.Fill(Source);

    std::vector<double> oursMs, platformMs;
    for (int r = 0; r < rounds; ++r) {
        ours.Fill(Backdrop);
        platform.Fill(Backdrop);
        double start = bench::NowMs();
        for (int i = 0; i < draws; ++i)
            MU_TransparentStretchBlt(ours.Dc(), 0, 0, 512, 512, source.Dc(), 0, 0, 256, 256, kKey);
        GdiFlush();
        oursMs.push_back((bench::NowMs() - start) / draws);

        start = bench::NowMs();
        for (int i = 0; i < draws; ++i)
            TransparentBlt(platform.Dc(), 0, 0, 512, 512, source.Dc(), 0, 0, 256, 256, kKey);
        GdiFlush();
        platformMs.push_back((bench::NowMs() - start) / draws);
    }

    // One draw each onto the same backdrop, compared pixel by pixel.
    ours.Fill(Backdrop);
    platform.Fill(Backdrop);
    MU_TransparentStretchBlt(ours.Dc(), 0, 0, 512, 512, source.Dc(), 0, 0, 256, 256, kKey);
    TransparentBlt(platform.Dc(), 0, 0, 512, 512, source.Dc(), 0, 0, 256, 256, kKey);
    GdiFlush();
    const auto a = ours.Pixels(), b = platform.Pixels();
    long differing = 0;
    for (size_t i = 0; i < a.size(); ++i)
        differing += a[i] != b[i];

    const double oursMedian = bench::Median(oursMs), platformMedian = bench::Median(platformMs);
    std::printf("transparent stretch 256x256 -> 512x512, %d rounds x %d draws, median ms per draw\n", rounds, draws);
    std::printf("MU_TransparentStretchBlt %.3f, TransparentBlt %.3f, time ratio %.2f, differing pixels %ld\n",
                oursMedian, platformMedian, oursMedian / platformMedian, differing);
    return 0;
}
