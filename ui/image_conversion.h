// Turns an image decoded by GDI+ into a 32-bit bottom-up DIB section with straight alpha, the
// form that layered windows take as content. Pixels are 0xAARRGGBB (in memory: blue, green,
// red, alpha).
#pragma once

// GDI+ needs the full windows.h (no WIN32_LEAN_AND_MEAN), with its min and max macros.
#include <windows.h>
#include <gdiplus.h>

#include <cstdint>

// Per-pixel converters: each reads one source pixel at the cursor, advances the cursor past it
// (2, 2, 3 or 4 bytes) and returns the destination pixel with alpha 255. Fields are widened by
// a plain shift: the largest 5-bit value 31 becomes 248, the largest 6-bit value 63 becomes 252.
uint32_t ConvertRgb555(const BYTE*& source);
uint32_t ConvertRgb565(const BYTE*& source);
uint32_t ConvertRgb24(const BYTE*& source);
uint32_t ConvertRgb32(const BYTE*& source);

// Writes one destination pixel at the cursor and advances it by 4 bytes.
void StorePixel(BYTE*& destination, uint32_t pixel);

// The locked rows of a source image, as GDI+ hands them out.
struct CImageRows {
    Gdiplus::PixelFormat format = PixelFormatUndefined;
    UINT width = 0;
    UINT height = 0;
    const BYTE* firstRow = nullptr;  // the top row
    INT stride = 0;                  // bytes from one row to the next; negative for bottom-up rows
    const Gdiplus::ARGB* palette = nullptr;  // indexed formats only
    UINT paletteCount = 0;
};

// Converts every row into `pixels` (width x height x 4 bytes, already zero), bottom-up: source
// row 0 lands in the last destination row. Rows of formats without a rule stay zero.
void ConvertImageRows(const CImageRows& rows, BYTE* pixels);

// The DIB section for `image`, or null when it cannot be created or the image cannot be
// locked. The caller deletes it with DeleteObject. 32-bit ARGB is copied as it is, the 32, 24
// and 16-bit RGB formats get alpha 255, indexed images go through their palette (keeping each
// entry's alpha) and every other format gives an all-zero (fully transparent) picture.
HBITMAP CreateDibFromImage(Gdiplus::Bitmap& image);
