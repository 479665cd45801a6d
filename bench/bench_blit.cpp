// The same stretched transparent draw, a 256x256 source with a scattering of
// the transparent colour stretched to 512x512 on a 32-bit DIB section, done by
// MU_TransparentStretchBlt and by the platform's own TransparentBlt, side by
// side in one run. Reports the median time ratio and how many destination
// pixels differ between the two.
//
//   bench_blit [rounds] [draws per round]

#include "bench_util.h"
#include "modutil.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr COLORREF kKey = RGB(255, 0, 255);

struct Surface {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    DWORD *bits = nullptr;
    int width = 0, height = 0;

    Surface(int w, int h) : width(w), height(h)
    {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = w;
        info.bmiHeader.biHeight = -h;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        dc = CreateCompatibleDC(nullptr);
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, reinterpret_cast<void **>(&bits), nullptr, 0);
        previous = SelectObject(dc, bitmap);
    }
    ~Surface()
    {
        SelectObject(dc, previous);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    void Fill(DWORD (*at)(int x, int y))
    {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                bits[y * width + x] = at(x, y);
    }
};

DWORD Source(int x, int y)
{
    if ((x * 31 + y * 17) % 11 == 0)
        return 0xFF00FF; // the transparent colour, as a DIB pixel
    return static_cast<DWORD>((x * 3) << 16 | (y * 5 % 256) << 8 | ((x ^ y) & 0xFE));
}

DWORD Backdrop(int x, int y)
{
    return static_cast<DWORD>((y % 256) << 16 | (x % 256) << 8 | 0x40);
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 11;
    const int draws = argc > 2 ? std::atoi(argv[2]) : 50;

    Surface source(256, 256), ours(512, 512), platform(512, 512);
    source.Fill(Source);

    std::vector<double> oursMs, platformMs;
    for (int r = 0; r < rounds; ++r) {
        ours.Fill(Backdrop);
        platform.Fill(Backdrop);
        double start = bench::NowMs();
        for (int i = 0; i < draws; ++i)
            MU_TransparentStretchBlt(ours.dc, 0, 0, 512, 512, source.dc, 0, 0, 256, 256, kKey);
        GdiFlush();
        oursMs.push_back((bench::NowMs() - start) / draws);

        start = bench::NowMs();
        for (int i = 0; i < draws; ++i)
            TransparentBlt(platform.dc, 0, 0, 512, 512, source.dc, 0, 0, 256, 256, kKey);
        GdiFlush();
        platformMs.push_back((bench::NowMs() - start) / draws);
    }

    // One draw each onto the same backdrop, compared pixel by pixel.
    ours.Fill(Backdrop);
    platform.Fill(Backdrop);
    MU_TransparentStretchBlt(ours.dc, 0, 0, 512, 512, source.dc, 0, 0, 256, 256, kKey);
    TransparentBlt(platform.dc, 0, 0, 512, 512, source.dc, 0, 0, 256, 256, kKey);
    GdiFlush();
    long differing = 0;
    for (int i = 0; i < 512 * 512; ++i)
        differing += (ours.bits[i] & 0xFFFFFF) != (platform.bits[i] & 0xFFFFFF);

    const double a = bench::Median(oursMs), b = bench::Median(platformMs);
    std::printf("transparent stretch 256x256 -> 512x512, %d rounds x %d draws, median ms per draw\n", rounds, draws);
    std::printf("MU_TransparentStretchBlt %.3f, TransparentBlt %.3f, time ratio %.2f, differing pixels %ld\n", a, b,
                a / b, differing);
    return 0;
}
