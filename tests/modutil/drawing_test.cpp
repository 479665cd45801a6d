// The transparent stretch-blit, pixel for pixel on 32-bit DIB sections, and
// the formatted message box, found, read and answered by a second thread.

#include "DibSurface.h"
#include "counts.h"
#include "harness.h"
#include "modutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using harness::BoxAnswerer;

namespace {

constexpr COLORREF kKey = RGB(255, 0, 255);

COLORREF Pattern(int x, int y)
{
    return RGB(x * 16 % 256, y * 16 % 256, (x + y) * 8 % 256 == 255 ? 0 : (x + y) * 8 % 256);
}

COLORREF Backdrop(int x, int y)
{
    return RGB(10 + x % 7, 200 - y % 11, 77);
}

// What the blit must give: the source stretched as COLORONCOLOR stretches it,
// with the old destination wherever that stretched source is the key colour.
std::vector<COLORREF> Expected(const DibSurface &source, int destW, int destH, const DibSurface &dest, int destX, int destY)
{
    DibSurface stretched(destW, destH);
    SetStretchBltMode(stretched.Dc(), COLORONCOLOR);
    StretchBlt(stretched.Dc(), 0, 0, destW, destH, source.Dc(), 0, 0, source.Width(), source.Height(), SRCCOPY);
    std::vector<COLORREF> expected = dest.Pixels();
    for (int y = 0; y < destH; ++y) {
        for (int x = 0; x < destW; ++x) {
            const COLORREF s = stretched.Get(x, y);
            if (s != kKey)
                expected[(destY + y) * dest.Width() + destX + x] = s;
        }
    }
    return expected;
}

struct BlitCase {
    const char *name;
    int srcW, srcH, destW, destH, destX, destY;
    bool (*keyAt)(int x, int y); // where the source has the key colour
};

const BlitCase kBlitCases[] = {
    {"no key colour", 16, 16, 16, 16, 0, 0, [](int, int) { return false; }},
    {"all key colour", 16, 16, 16, 16, 0, 0, [](int, int) { return true; }},
    {"scattered", 16, 16, 16, 16, 0, 0, [](int x, int y) { return (x * 7 + y * 3) % 5 == 0; }},
    {"stretched", 16, 16, 40, 24, 0, 0, [](int x, int y) { return (x + y) % 3 == 0; }},
    {"shrunk", 32, 32, 12, 20, 0, 0, [](int x, int y) { return x % 4 == 1 || y == 5; }},
    {"offset", 10, 10, 10, 10, 7, 5, [](int x, int y) { return x == y; }},
    {"offset stretched", 8, 8, 13, 9, 3, 11, [](int x, int) { return x < 3; }},
};

TEST(TransparentStretchBlt, PixelExact)
{
    for (const auto &c : kBlitCases) {
        DibSurface source(c.srcW, c.srcH);
        source.Fill([&](int x, int y) { return c.keyAt(x, y) ? kKey : Pattern(x, y); });
        DibSurface dest(c.destX + c.destW + 6, c.destY + c.destH + 4);
        dest.Fill(Backdrop);
        const auto expected = Expected(source, c.destW, c.destH, dest, c.destX, c.destY);

        EXPECT_NE(MU_TransparentStretchBlt(dest.Dc(), c.destX, c.destY, c.destW, c.destH, source.Dc(), 0, 0,
                                           c.srcW, c.srcH, kKey), 0) << c.name;
        EXPECT_EQ(dest.Pixels(), expected) << c.name;
        // The source DC's background colour is put back.
        EXPECT_EQ(GetBkColor(source.Dc()), RGB(255, 255, 255)) << c.name;
    }
}

TEST(TransparentStretchBlt, WithoutKeyColourEqualsPlainStretch)
{
    DibSurface source(16, 16), plain(29, 21), blitted(29, 21);
    source.Fill(Pattern);
    plain.Fill(Backdrop);
    blitted.Fill(Backdrop);
    SetStretchBltMode(plain.Dc(), COLORONCOLOR);
    StretchBlt(plain.Dc(), 2, 3, 25, 17, source.Dc(), 0, 0, 16, 16, SRCCOPY);
    ASSERT_NE(MU_TransparentStretchBlt(blitted.Dc(), 2, 3, 25, 17, source.Dc(), 0, 0, 16, 16, kKey), 0);
    EXPECT_EQ(blitted.Pixels(), plain.Pixels());
}

TEST(TransparentStretchBlt, DestinationWithAPalette)
{
    struct {
        LOGPALETTE header;
        PALETTEENTRY more[3];
    } logical{};
    logical.header.palVersion = 0x300;
    logical.header.palNumEntries = 4;
    const PALETTEENTRY entries[] = {{0, 0, 0, 0}, {255, 0, 0, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}};
    std::copy(std::begin(entries), std::end(entries), logical.header.palPalEntry);
    HPALETTE palette = CreatePalette(&logical.header);
    ASSERT_NE(palette, nullptr);

    DibSurface source(8, 8), dest(8, 8);
    source.Fill([](int x, int y) { return (x + y) % 2 ? kKey : Pattern(x, y); });
    dest.Fill(Backdrop);
    const auto expected = Expected(source, 8, 8, dest, 0, 0);
    HPALETTE previous = SelectPalette(dest.Dc(), palette, FALSE);
    EXPECT_NE(MU_TransparentStretchBlt(dest.Dc(), 0, 0, 8, 8, source.Dc(), 0, 0, 8, 8, kKey), 0);
    EXPECT_EQ(GetCurrentObject(dest.Dc(), OBJ_PAL), palette); // still the destination's
    SelectPalette(dest.Dc(), previous, FALSE);
    EXPECT_EQ(dest.Pixels(), expected);
    EXPECT_TRUE(DeleteObject(palette));
}

TEST(TransparentStretchBlt, FailsWithoutADestination)
{
    DibSurface source(4, 4);
    EXPECT_EQ(MU_TransparentStretchBlt(nullptr, 0, 0, 4, 4, source.Dc(), 0, 0, 4, 4, kKey), 0);
    EXPECT_EQ(MU_TransparentStretchBlt(nullptr, 0, 0, 4, 4, nullptr, 0, 0, 4, 4, kKey), 0);
}

TEST(TransparentStretchBlt, SizesThatCannotBeMadeDrawNothing)
{
    DibSurface source(4, 4), dest(4, 4);
    source.Fill(Pattern);
    dest.Fill(Backdrop);
    const auto before = dest.Pixels();
    std::vector<SIZE> sizes = {{100000, 100000}, {INT_MAX, 1}, {-4, 4}};
    if (sizeof(void *) == 4)
        sizes.push_back({12000, 12000}); // 550 MB per bitmap: too much for a 32-bit process
    for (const auto &size : sizes) {
        EXPECT_EQ(MU_TransparentStretchBlt(dest.Dc(), 0, 0, size.cx, size.cy, source.Dc(), 0, 0, 4, 4, kKey), 0)
            << size.cx << "x" << size.cy;
        EXPECT_EQ(dest.Pixels(), before) << size.cx << "x" << size.cy;
    }
}

// A far edge past what int holds is refused before any drawing call sees it.
TEST(TransparentStretchBlt, RectanglesPastTheCoordinateRangeDrawNothing)
{
    DibSurface source(4, 4), dest(32, 32);
    source.Fill(Pattern);
    dest.Fill(Backdrop);
    const auto before = dest.Pixels();
    const struct {
        int destX, destY, srcX, srcY, srcWidth, srcHeight;
    } cases[] = {
        {0, 0, 0, 0, INT_MAX, INT_MAX}, {0, 0, 1, 0, INT_MAX, 4}, {0, 0, 0, 1, 4, INT_MAX},
        {0, 0, INT_MIN, 0, -4, 4}, {INT_MAX - 8, 0, 0, 0, 4, 4}, {0, INT_MIN + 8, 0, 0, 4, 4},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(MU_TransparentStretchBlt(dest.Dc(), c.destX, c.destY, 32, c.destY < 0 ? -32 : 32, source.Dc(),
                                           c.srcX, c.srcY, c.srcWidth, c.srcHeight, kKey),
                  0)
            << c.srcX << "," << c.srcY << " " << c.srcWidth << "x" << c.srcHeight;
        EXPECT_EQ(dest.Pixels(), before);
    }
}

TEST(TransparentStretchBlt, LeavesNoGdiObjectBehind)
{
    DibSurface source(8, 8), dest(8, 8);
    source.Fill([](int x, int y) { return x == y ? kKey : Pattern(x, y); });
    const Counter gdi = ChooseGdiCounter();
    const long long before = gdi.count();
    int failures = 0;
    for (int i = 0; i < 2000; ++i)
        failures += MU_TransparentStretchBlt(dest.Dc(), 0, 0, 8, 8, source.Dc(), 0, 0, 8, 8, kKey) == 0;
    for (int i = 0; i < 100; ++i) { // failing calls release everything too
        failures += MU_TransparentStretchBlt(nullptr, 0, 0, 8, 8, source.Dc(), 0, 0, 8, 8, kKey) == 0;
        failures += MU_TransparentStretchBlt(dest.Dc(), 0, 0, -8, 8, source.Dc(), 0, 0, 8, 8, kKey) == 0;
    }
    EXPECT_EQ(failures, 200);
    EXPECT_EQ(gdi.count(), before);
}

TEST(MessageBoxPrintf, ShowsTheFormattedTextAndReturnsTheAnswer)
{
    BoxAnswerer answerer("modutil test box", IDNO);
    EXPECT_EQ(MessageBoxPrintf(MB_YESNO, "modutil test box", "%s has %d items (%.1f%%)", "list", 3, 42.5), IDNO);
    EXPECT_EQ(MessageBoxPrintf(MB_YESNO | MB_ICONWARNING, "modutil test box", "plain text"), IDNO);
    EXPECT_EQ(answerer.Texts(), (std::vector<std::string>{"list has 3 items (42.5%)", "plain text"}));
}

TEST(MessageBoxPrintf, TextIsCutTo1023Characters)
{
    const std::string longText(2000, 'L');
    std::vector<std::string> texts;
    {
        BoxAnswerer answerer("modutil long box", IDOK);
        EXPECT_EQ(MessageBoxPrintf(MB_OK, "modutil long box", "%s", longText.c_str()), IDOK);
        EXPECT_EQ(MessageBoxPrintf(MB_OK, "modutil long box", "%s", longText.substr(0, 1023).c_str()), IDOK);
        texts = answerer.Texts();
    }
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], longText.substr(0, 1023));
    EXPECT_EQ(texts[1], longText.substr(0, 1023));
}

TEST(MessageBoxPrintf, RefusesCountConversions)
{
    BoxAnswerer answerer("modutil count box", IDOK);
    for (const char *format : {"abc%n", "%5n", "%-08.3hn", "%lln", "%I64n", "%d%%%n"}) {
        int written = -7;
        EXPECT_EQ(MessageBoxPrintf(MB_OK, "modutil count box", format, &written), 0) << format;
        EXPECT_EQ(written, -7) << format;
    }
    EXPECT_EQ(MessageBoxPrintf(MB_OK, "modutil count box", "100%%n and %d%%", 5), IDOK); // %%n is text
    EXPECT_EQ(answerer.Texts(), std::vector<std::string>{"100%n and 5%"});
}

TEST(MessageBoxPrintf, MissingCaptionOrFormatShowsNothing)
{
    BoxAnswerer answerer("modutil empty box", IDOK);
    EXPECT_EQ(MessageBoxPrintf(MB_OK, nullptr, "text"), 0);
    EXPECT_EQ(MessageBoxPrintf(MB_OK, "modutil empty box", nullptr), 0);
    EXPECT_EQ(MessageBoxPrintf(MB_OK, "modutil empty box", ""), 0);
    EXPECT_TRUE(answerer.Texts().empty());
}

} // namespace
