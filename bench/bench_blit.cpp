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

#include <array>
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

// The routine's drawing steps, as MU_TransparentStretchBlt makes them, with
// its scratch DCs made and released outside the timed steps.
constexpr std::array<const char *, 7> kSteps = {
    "mask: stretch, colour to mono, NOTSRCCOPY", "background: mask NOTSRCCOPY (mono to colour)",
    "background: destination SRCAND", "image: mask SRCCOPY (mono to colour)",
    "image: stretch source SRCAND", "image: background SRCPAINT", "destination: image SRCCOPY"};

std::array<double, kSteps.size()> TimeSteps(HDC dest, HDC source, int w, int h, int sw, int sh)
{
    HDC mask = CreateCompatibleDC(dest), background = CreateCompatibleDC(dest), image = CreateCompatibleDC(dest);
    HBITMAP bitmaps[] = {CreateBitmap(w, h, 1, 1, nullptr), CreateCompatibleBitmap(dest, w, h),
                         CreateCompatibleBitmap(dest, w, h)};
    HGDIOBJ previous[] = {SelectObject(mask, bitmaps[0]), SelectObject(background, bitmaps[1]),
                          SelectObject(image, bitmaps[2])};
    SetStretchBltMode(mask, COLORONCOLOR);
    SetStretchBltMode(image, COLORONCOLOR);
    const COLORREF oldBackground = SetBkColor(source, kKey);

    std::array<double, kSteps.size()> ms{};
    size_t step = 0;
    auto timed = [&](auto draw) {
        const double start = bench::NowMs();
        draw();
        GdiFlush();
        ms[step++] = bench::NowMs() - start;
    };
    timed([&] { StretchBlt(mask, 0, 0, w, h, source, 0, 0, sw, sh, NOTSRCCOPY); });
    SetBkColor(source, oldBackground);
    timed([&] { BitBlt(background, 0, 0, w, h, mask, 0, 0, NOTSRCCOPY); });
    timed([&] { BitBlt(background, 0, 0, w, h, dest, 0, 0, SRCAND); });
    timed([&] { BitBlt(image, 0, 0, w, h, mask, 0, 0, SRCCOPY); });
    timed([&] { StretchBlt(image, 0, 0, w, h, source, 0, 0, sw, sh, SRCAND); });
    timed([&] { BitBlt(image, 0, 0, w, h, background, 0, 0, SRCPAINT); });
    timed([&] { BitBlt(dest, 0, 0, w, h, image, 0, 0, SRCCOPY); });

    HDC dcs[] = {mask, background, image};
    for (int i = 0; i < 3; ++i) {
        SelectObject(dcs[i], previous[i]);
        DeleteObject(bitmaps[i]);
        DeleteDC(dcs[i]);
    }
    return ms;
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

    std::array<std::vector<double>, kSteps.size()> stepMs;
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < draws; ++i) {
            const auto ms = TimeSteps(ours.Dc(), source.Dc(), 512, 512, 256, 256);
            for (size_t s = 0; s < ms.size(); ++s)
                stepMs[s].push_back(ms[s]);
        }
    }
    std::printf("its drawing steps, one by one, median ms:\n");
    for (size_t s = 0; s < kSteps.size(); ++s)
        std::printf("  %-46s %.3f\n", kSteps[s], bench::Median(stepMs[s]));
    return 0;
}
