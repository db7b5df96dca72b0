#include "ui/image_conversion.h"

#include <cstring>

namespace {

constexpr uint32_t kOpaque = 0xFF000000u;
constexpr UINT kMaxPaletteEntries = 256;

// Source rows carry no alignment promise for 16 and 32-bit values.
uint32_t ReadValue(const BYTE* at, size_t size) {
    uint32_t value = 0;
    memcpy(&value, at, size);
    return value;
}

UINT BitsPerPixel(Gdiplus::PixelFormat format) { return (format >> 8) & 0xFF; }

// The palette entry of pixel x of an indexed row; 1 and 4-bit pixels are packed from the high
// bits of each byte down. An index past the palette gives a transparent pixel.
uint32_t LookUpIndexed(const CImageRows& rows, const BYTE* row, UINT x) {
    UINT index = 0;
    switch (BitsPerPixel(rows.format)) {
        case 1: index = (row[x / 8] >> (7 - x % 8)) & 0x1; break;
        case 4: index = (row[x / 2] >> (x % 2 ? 0 : 4)) & 0xF; break;
        case 8: index = row[x]; break;
        default: return 0;
    }
    return index < rows.paletteCount ? rows.palette[index] : 0;
}

template <uint32_t (*Convert)(const BYTE*&)>
void ConvertPixels(UINT width, const BYTE* source, BYTE* destination) {
    for (UINT x = 0; x < width; ++x) StorePixel(destination, Convert(source));
}

void ConvertRow(const CImageRows& rows, const BYTE* source, BYTE* destination) {
    switch (rows.format) {
        case PixelFormat32bppARGB: memcpy(destination, source, size_t(rows.width) * 4); return;
        case PixelFormat32bppRGB: ConvertPixels<ConvertRgb32>(rows.width, source, destination); return;
        case PixelFormat24bppRGB: ConvertPixels<ConvertRgb24>(rows.width, source, destination); return;
        case PixelFormat16bppRGB555: ConvertPixels<ConvertRgb555>(rows.width, source, destination); return;
        case PixelFormat16bppRGB565: ConvertPixels<ConvertRgb565>(rows.width, source, destination); return;
        default: break;
    }
    if (rows.format & PixelFormatIndexed) {
        for (UINT x = 0; x < rows.width; ++x) StorePixel(destination, LookUpIndexed(rows, source, x));
    }
    // Any other format (premultiplied, with a 1-bit alpha, 48 or 64-bit) keeps its zero row.
}

}  // namespace

uint32_t ConvertRgb555(const BYTE*& source) {
    uint32_t v = ReadValue(source, 2);
    source += 2;
    uint32_t red = ((v >> 10) & 0x1F) << 3, green = ((v >> 5) & 0x1F) << 3, blue = (v & 0x1F) << 3;
    return kOpaque | red << 16 | green << 8 | blue;
}

uint32_t ConvertRgb565(const BYTE*& source) {
    uint32_t v = ReadValue(source, 2);
    source += 2;
    uint32_t red = (v >> 11) << 3, green = ((v >> 5) & 0x3F) << 2, blue = (v & 0x1F) << 3;
    return kOpaque | red << 16 | green << 8 | blue;
}

uint32_t ConvertRgb24(const BYTE*& source) {
    uint32_t pixel = kOpaque | uint32_t(source[2]) << 16 | uint32_t(source[1]) << 8 | source[0];
    source += 3;
    return pixel;
}

uint32_t ConvertRgb32(const BYTE*& source) {
    uint32_t pixel = ReadValue(source, 4);
    source += 4;
    return kOpaque | (pixel & 0x00FFFFFFu);
}

void StorePixel(BYTE*& destination, uint32_t pixel) {
    memcpy(destination, &pixel, 4);
    destination += 4;
}

void ConvertImageRows(const CImageRows& rows, BYTE* pixels) {
    const size_t rowBytes = size_t(rows.width) * 4;
    for (UINT y = 0; y < rows.height; ++y) {
        const BYTE* source = rows.firstRow + ptrdiff_t(y) * rows.stride;
        BYTE* destination = pixels + size_t(rows.height - 1 - y) * rowBytes;
        ConvertRow(rows, source, destination);
    }
}

HBITMAP CreateDibFromImage(Gdiplus::Bitmap& image) {
    CImageRows rows;
    rows.format = image.GetPixelFormat();
    rows.width = image.GetWidth();
    rows.height = image.GetHeight();

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = LONG(rows.width);
    info.bmiHeader.biHeight = LONG(rows.height);  // positive: rows stored bottom-up
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!dib) return nullptr;
    memset(bits, 0, size_t(rows.height) * rows.width * 4);

    // Room for the largest palette an indexed format can have.
    union {
        Gdiplus::ColorPalette header;
        BYTE bytes[sizeof(Gdiplus::ColorPalette) + (kMaxPaletteEntries - 1) * sizeof(Gdiplus::ARGB)];
    } palette;
    if (rows.format & PixelFormatIndexed) {
        INT size = image.GetPaletteSize();
        if (size > 0 && size_t(size) <= sizeof palette && image.GetPalette(&palette.header, size) == Gdiplus::Ok) {
            rows.palette = palette.header.Entries;
            rows.paletteCount = palette.header.Count < kMaxPaletteEntries ? palette.header.Count : kMaxPaletteEntries;
        }
    }

    Gdiplus::Rect whole(0, 0, INT(rows.width), INT(rows.height));
    Gdiplus::BitmapData locked = {};
    if (image.LockBits(&whole, Gdiplus::ImageLockModeRead, rows.format, &locked) != Gdiplus::Ok) {
        DeleteObject(dib);
        return nullptr;
    }
    rows.firstRow = static_cast<const BYTE*>(locked.Scan0);
    rows.stride = locked.Stride;
    ConvertImageRows(rows, static_cast<BYTE*>(bits));
    image.UnlockBits(&locked);
    return dib;
}
