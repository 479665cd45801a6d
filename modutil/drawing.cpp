// The transparent stretch-blit and the formatted message box.

#include "modutil.h"

#include "ScopeExit.h"
#include "UniqueHandle.h"

#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdarg.h>
#include <stdio.h>

namespace {

// A memory DC compatible with another DC, with one bitmap selected into it.
// Release() puts the DC's own bitmap back, then deletes the bitmap and the
// DC, in that order; the destructor does the same on any path.
class ScratchSurface {
public:
    explicit ScratchSurface(HDC compatibleWith) : dc_(CreateCompatibleDC(compatibleWith)) {}
    ~ScratchSurface() { Release(); }

    HDC Dc() const { return dc_.get(); }
    // Both the DC and its bitmap exist, and the bitmap is selected.
    bool Ready() const { return dc_ && bitmap_ && previous_ != nullptr; }

    void Select(HBITMAP bitmap)
    {
        bitmap_.reset(bitmap);
        previous_ = SelectObject(dc_.get(), bitmap);
    }

    void Release()
    {
        if (dc_ && previous_ != nullptr)
            SelectObject(dc_.get(), previous_);
        previous_ = nullptr;
        bitmap_.reset();
        dc_.reset();
    }

private:
    UniqueDC dc_;
    UniqueBitmap bitmap_;
    HGDIOBJ previous_ = nullptr; // the DC's own, not ours: put back, never deleted
};

// The palette selected into dc, or null for the stock default palette.
HPALETTE SelectedPalette(HDC dc)
{
    const auto palette = static_cast<HPALETTE>(GetCurrentObject(dc, OBJ_PAL));
    return palette != GetStockObject(DEFAULT_PALETTE) ? palette : nullptr;
}

// The formatted text's buffer, terminator included.
constexpr size_t kMessageBufferSize = 1024;

// True when format holds a %n conversion, with any flags, width, precision or
// length: it writes through an argument, so whoever edits a format kept in
// configuration text would have a memory write in hand.
bool HasCountConversion(const char *format)
{
    for (const char *c = format; *c != '\0'; ++c) {
        if (*c != '%')
            continue;
        ++c;
        c += std::strspn(c, "-+ #'0123456789.*hlLqjztwIFN"); // flags, width, precision, length
        if (*c == 'n')
            return true;
        if (*c == '\0')
            return false;
        // *c is the conversion, or the second '%' of "%%": go on after it.
    }
    return false;
}

// Whether a rectangle's far edge, origin plus extent, is an int as the
// drawing calls compute it. Past that they overflow and, in some, corrupt
// memory while reporting success.
bool EdgesFit(int x, int y, int width, int height)
{
    const auto fits = [](long long edge) { return edge >= INT_MIN && edge <= INT_MAX; };
    return fits(static_cast<long long>(x) + width) && fits(static_cast<long long>(y) + height);
}

// A source extent no bitmap of a shell comes near: past it, the stretches'
// own scaling arithmetic overflows (INT_MAX by INT_MAX onto 32x32 corrupted
// the heap while reporting success). Larger source rectangles are refused.
constexpr long long kMaxExtent = 1LL << 27;

bool ExtentsFit(int width, int height)
{
    return std::llabs(width) < kMaxExtent && std::llabs(height) < kMaxExtent;
}

// The mask, at the destination size: 0 where the source is transparent.
// Colour-to-monochrome turns the source's background colour into 1.
bool StretchMask(HDC mask, int w, int h, HDC source, int srcX, int srcY, int srcWidth, int srcHeight,
                 COLORREF transparent)
{
    const COLORREF previousBackground = SetBkColor(source, transparent);
    const ScopeExit restoreBackground([source, previousBackground] {
        if (previousBackground != CLR_INVALID)
            SetBkColor(source, previousBackground);
    });
    // Set a second time on purpose: the routine sets the mask's stretch mode
    // both when the DC is made and right before this stretch.
    SetStretchBltMode(mask, COLORONCOLOR);
    return StretchBlt(mask, 0, 0, w, h, source, srcX, srcY, srcWidth, srcHeight, NOTSRCCOPY) != FALSE;
}

} // namespace

extern "C" int MU_CALL MU_TransparentStretchBlt(HDC dest, int destX, int destY, int destWidth,
                                                int destHeight, HDC source, int srcX, int srcY,
                                                int srcWidth, int srcHeight, COLORREF transparent)
{
    const int w = destWidth, h = destHeight;
    if (!EdgesFit(destX, destY, w, h) || !EdgesFit(srcX, srcY, srcWidth, srcHeight) ||
        !ExtentsFit(srcWidth, srcHeight))
        return 0;

    // Released in reverse: the image DC's palette, then the image DC (the mask
    // and background DCs are released on the way, as soon as they are used).
    ScratchSurface mask(dest), background(dest), image(dest);
    SetStretchBltMode(mask.Dc(), COLORONCOLOR);
    mask.Select(CreateBitmap(w, h, 1, 1, nullptr));
    background.Select(CreateCompatibleBitmap(dest, w, h));
    image.Select(CreateCompatibleBitmap(dest, w, h));
    // Nothing is drawn unless every DC and bitmap exists: a DC without its
    // bitmap still draws, into its default 1x1 bitmap, and reports success.
    if (!mask.Ready() || !background.Ready() || !image.Ready())
        return 0;

    bool ok = StretchMask(mask.Dc(), w, h, source, srcX, srcY, srcWidth, srcHeight, transparent);
    // Background: the old destination where transparent, black elsewhere.
    ok &= BitBlt(background.Dc(), 0, 0, w, h, mask.Dc(), 0, 0, NOTSRCCOPY) != FALSE;
    ok &= BitBlt(background.Dc(), 0, 0, w, h, dest, destX, destY, SRCAND) != FALSE;
    // Image: black where transparent, white elsewhere, for now.
    ok &= BitBlt(image.Dc(), 0, 0, w, h, mask.Dc(), 0, 0, SRCCOPY) != FALSE;
    mask.Release();

    // The destination's palette, if it has one, selected (not forced to the
    // background) and realized in the image DC; the previous one put back.
    const HPALETTE destinationPalette = SelectedPalette(dest);
    const HPALETTE previousPalette =
        destinationPalette != nullptr ? SelectPalette(image.Dc(), destinationPalette, FALSE) : nullptr;
    if (previousPalette != nullptr)
        RealizePalette(image.Dc());
    const HDC imageDc = image.Dc();
    const ScopeExit restorePalette([imageDc, previousPalette] {
        if (previousPalette != nullptr)
            SelectPalette(imageDc, previousPalette, FALSE);
    });

    // Source where opaque, then the old destination into the black holes.
    SetStretchBltMode(image.Dc(), COLORONCOLOR);
    ok &= StretchBlt(image.Dc(), 0, 0, w, h, source, srcX, srcY, srcWidth, srcHeight, SRCAND) != FALSE;
    ok &= BitBlt(image.Dc(), 0, 0, w, h, background.Dc(), 0, 0, SRCPAINT) != FALSE;
    background.Release();

    // The destination is written once, here.
    ok &= BitBlt(dest, destX, destY, w, h, image.Dc(), 0, 0, SRCCOPY) != FALSE;
    return ok ? 1 : 0;
}

extern "C" int MU_CALL MessageBoxPrintf(UINT style, const char *caption, const char *format, ...)
{
    if (caption == nullptr || format == nullptr || *format == '\0' || HasCountConversion(format))
        return 0;

    // msvcrt's bounded formatter leaves a full buffer unterminated: longer
    // text is cut to the buffer's size less one here.
    std::array<char, kMessageBufferSize> text;
    va_list args;
    va_start(args, format);
    _vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    text.back() = '\0';

    return MessageBoxA(nullptr, text.data(), caption, style);
}
