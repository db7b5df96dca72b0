#include "ui/image_conversion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tests/ui/ui_test_support.h"

namespace {

::testing::Environment* const gdiplus = ::testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

std::vector<BYTE> Bytes32(std::initializer_list<uint32_t> values) {
    std::vector<BYTE> bytes;
    for (uint32_t v : values)
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(BYTE(v >> shift));
    return bytes;
}

std::vector<BYTE> Bytes16(std::initializer_list<uint16_t> values) {
    std::vector<BYTE> bytes;
    for (uint16_t v : values) bytes.insert(bytes.end(), {BYTE(v), BYTE(v >> 8)});
    return bytes;
}

struct ConverterCase {
    const char* name;
    uint32_t (*convert)(const BYTE*&);
    std::vector<BYTE> source;
    ptrdiff_t pixelSize;
    uint32_t expected;  // 0xAARRGGBB
};

const ConverterCase kConverterCases[] = {
    {"Rgb555RedOnly", ConvertRgb555, Bytes16({0x7C00}), 2, 0xFFF80000},
    {"Rgb555GreenOnly", ConvertRgb555, Bytes16({0x03E0}), 2, 0xFF00F800},
    {"Rgb555BlueOnly", ConvertRgb555, Bytes16({0x001F}), 2, 0xFF0000F8},
    {"Rgb555AllFieldsFull", ConvertRgb555, Bytes16({0x7FFF}), 2, 0xFFF8F8F8},
    {"Rgb555Bit15Ignored", ConvertRgb555, Bytes16({0x8000}), 2, 0xFF000000},
    {"Rgb555LowBitsStayLow", ConvertRgb555, Bytes16({0x0421}), 2, 0xFF080808},
    {"Rgb565RedOnly", ConvertRgb565, Bytes16({0xF800}), 2, 0xFFF80000},
    {"Rgb565GreenOnly", ConvertRgb565, Bytes16({0x07E0}), 2, 0xFF00FC00},
    {"Rgb565BlueOnly", ConvertRgb565, Bytes16({0x001F}), 2, 0xFF0000F8},
    {"Rgb565LowBitsStayLow", ConvertRgb565, Bytes16({0x0821}), 2, 0xFF080408},
    {"Rgb24BlueGreenRed", ConvertRgb24, {0x10, 0x20, 0x30}, 3, 0xFF302010},
    {"Rgb32FourthByteZero", ConvertRgb32, {0x10, 0x20, 0x30, 0x00}, 4, 0xFF302010},
    {"Rgb32FourthByteReplaced", ConvertRgb32, {0x10, 0x20, 0x30, 0x7F}, 4, 0xFF302010},
};

TEST(ConverterTest, ConvertsOnePixelAndStepsPastIt) {
    for (const ConverterCase& c : kConverterCases) {
        SCOPED_TRACE(c.name);
        const BYTE* cursor = c.source.data();
        EXPECT_EQ(c.convert(cursor), c.expected);
        EXPECT_EQ(cursor - c.source.data(), c.pixelSize);
    }
}

TEST(StorePixelTest, WritesBlueGreenRedAlphaAndStepsPastIt) {
    BYTE buffer[8] = {};
    BYTE* cursor = buffer;
    StorePixel(cursor, 0x80112233);
    StorePixel(cursor, 0xFF445566);
    EXPECT_EQ(cursor, buffer + 8);
    const BYTE expected[8] = {0x33, 0x22, 0x11, 0x80, 0x66, 0x55, 0x44, 0xFF};
    EXPECT_EQ(memcmp(buffer, expected, 8), 0);
}

struct ImageCase {
    const char* name;
    Gdiplus::PixelFormat format;
    INT width;
    INT height;
    INT stride;
    std::vector<BYTE> rows;  // top row first, `stride` bytes each
    std::vector<Gdiplus::ARGB> palette;
    std::vector<uint32_t> expected;  // the DIB's memory order: bottom row first
};

const std::vector<uint32_t> kFourZeros(4, 0);

const ImageCase kImageCases[] = {
    {"Argb32CopiedUnchanged", PixelFormat32bppARGB, 2, 2, 8,
     Bytes32({0x80FF0000, 0x01020304, 0xFF00FF00, 0x00FFFFFF}), {},
     {0xFF00FF00, 0x00FFFFFF, 0x80FF0000, 0x01020304}},
    {"Rgb32GetsAlpha255", PixelFormat32bppRGB, 2, 2, 8,
     Bytes32({0x00102030, 0x7F405060, 0xAA000000, 0x00FFFFFF}), {},
     {0xFF000000, 0xFFFFFFFF, 0xFF102030, 0xFF405060}},
    {"Rgb24RowsWithPadding", PixelFormat24bppRGB, 3, 2, 12,
     {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xEE, 0xEE, 0xEE,
      0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0xEE, 0xEE, 0xEE}, {},
     {0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0xFF302010, 0xFF605040, 0xFF908070}},
    {"Rgb555Widened", PixelFormat16bppRGB555, 2, 2, 4, Bytes16({0x7C00, 0x001F, 0x83E0, 0x7FFF}), {},
     {0xFF00F800, 0xFFF8F8F8, 0xFFF80000, 0xFF0000F8}},
    {"Rgb565Widened", PixelFormat16bppRGB565, 2, 2, 4, Bytes16({0xF800, 0x07E0, 0x001F, 0xFFFF}), {},
     {0xFF0000F8, 0xFFF8FCF8, 0xFFF80000, 0xFF00FC00}},
    // Index 5 lies past the three palette entries: a transparent pixel.
    {"Indexed8ThroughPalette", PixelFormat8bppIndexed, 2, 2, 4, {0, 1, 0xEE, 0xEE, 2, 5, 0xEE, 0xEE},
     {0xFFFF0000, 0x8000FF00, 0x000000FF},
     {0x000000FF, 0x00000000, 0xFFFF0000, 0x8000FF00}},
    // High nibble first; the fourth nibble of each row lies outside the picture.
    {"Indexed4HighNibbleFirst", PixelFormat4bppIndexed, 3, 2, 4, {0x01, 0x2F, 0xEE, 0xEE, 0x21, 0x0F, 0xEE, 0xEE},
     {0xFF000000, 0xFFFFFFFF, 0x80FF0000},
     {0x80FF0000, 0xFFFFFFFF, 0xFF000000, 0xFF000000, 0xFFFFFFFF, 0x80FF0000}},
    {"Indexed1HighBitFirst", PixelFormat1bppIndexed, 3, 2, 4, {0x5F, 0xEE, 0xEE, 0xEE, 0xA0, 0xEE, 0xEE, 0xEE},
     {0xFF000000, 0x40FFFFFF},
     {0x40FFFFFF, 0xFF000000, 0x40FFFFFF, 0xFF000000, 0x40FFFFFF, 0xFF000000}},
    {"Pargb32StaysTransparent", PixelFormat32bppPARGB, 2, 2, 8,
     Bytes32({0x80400000, 0xFFFFFFFF, 0x01010101, 0x7F7F7F7F}), {}, kFourZeros},
    {"Argb1555StaysTransparent", PixelFormat16bppARGB1555, 2, 2, 4, Bytes16({0xFFFF, 0x8000, 0x7C00, 0x1234}), {},
     kFourZeros},
    {"Argb64StaysTransparent", PixelFormat64bppARGB, 2, 2, 16, std::vector<BYTE>(32, 0x7F), {}, kFourZeros},
};

// A GDI+ bitmap over memory of our own holding a case's rows. Bottom-up memory holds the last
// row first and is handed to GDI+ as its last row's address with a negative stride.
class SourceImage {
public:
    SourceImage(const ImageCase& c, bool bottomUp) : m_memory(c.rows.size()) {
        size_t rowBytes = size_t(c.stride);
        for (INT y = 0; y < c.height; ++y) {
            size_t to = bottomUp ? size_t(c.height - 1 - y) * rowBytes : size_t(y) * rowBytes;
            memcpy(&m_memory[to], &c.rows[size_t(y) * rowBytes], rowBytes);
        }
        BYTE* firstRow = bottomUp ? &m_memory[size_t(c.height - 1) * rowBytes] : m_memory.data();
        m_image = std::make_unique<Gdiplus::Bitmap>(c.width, c.height, bottomUp ? -c.stride : c.stride, c.format,
                                                    firstRow);
        if (!c.palette.empty()) {
            std::vector<BYTE> buffer(sizeof(Gdiplus::ColorPalette) + c.palette.size() * sizeof(Gdiplus::ARGB));
            auto* palette = reinterpret_cast<Gdiplus::ColorPalette*>(buffer.data());
            palette->Flags = Gdiplus::PaletteFlagsHasAlpha;
            palette->Count = UINT(c.palette.size());
            memcpy(palette->Entries, c.palette.data(), c.palette.size() * sizeof(Gdiplus::ARGB));
            m_image->SetPalette(palette);
        }
    }

    Gdiplus::Bitmap& image() { return *m_image; }

    // The stride GDI+ hands out when the image is locked as the conversion locks it.
    INT LockedStride() {
        Gdiplus::Rect whole(0, 0, INT(m_image->GetWidth()), INT(m_image->GetHeight()));
        Gdiplus::BitmapData data = {};
        if (m_image->LockBits(&whole, Gdiplus::ImageLockModeRead, m_image->GetPixelFormat(), &data) != Gdiplus::Ok)
            return 0;
        m_image->UnlockBits(&data);
        return data.Stride;
    }

private:
    std::vector<BYTE> m_memory;
    std::unique_ptr<Gdiplus::Bitmap> m_image;
};

void ExpectConverted(const ImageCase& c, bool bottomUp) {
    SCOPED_TRACE(c.name);
    SourceImage source(c, bottomUp);
    ASSERT_EQ(source.image().GetLastStatus(), Gdiplus::Ok);
    ASSERT_EQ(source.image().GetPixelFormat(), c.format);
    if (bottomUp) {
        ASSERT_LT(source.LockedStride(), 0);
    }

    GdiBitmap dib(CreateDibFromImage(source.image()));
    ASSERT_NE(dib.get(), nullptr);
    DibContents contents = ReadDib(dib.get());
    ASSERT_TRUE(contents.isDibSection);
    EXPECT_EQ(contents.header.biWidth, c.width);
    EXPECT_EQ(contents.header.biHeight, c.height);  // positive: bottom-up
    EXPECT_EQ(contents.header.biBitCount, 32);
    EXPECT_EQ(contents.header.biCompression, DWORD(BI_RGB));
    EXPECT_EQ(contents.pixels, c.expected);
}

TEST(CreateDibFromImageTest, ConvertsEachFormatIntoBottomUpRows) {
    for (const ImageCase& c : kImageCases) ExpectConverted(c, false);
}

TEST(CreateDibFromImageTest, NegativeStrideSourceStaysUpright) {
    for (const ImageCase& c : kImageCases) ExpectConverted(c, true);
}

// The DIB made from PNG resource `id` of the test executable.
DibContents ConvertPngResource(WORD id, Gdiplus::PixelFormat* decodedFormat) {
    DibContents contents;
    IStream* stream = OpenPngResource(GetModuleHandleW(nullptr), id);
    if (!stream) return contents;
    {
        Gdiplus::Bitmap image(stream);
        *decodedFormat = image.GetPixelFormat();
        GdiBitmap dib(CreateDibFromImage(image));
        contents = ReadDib(dib.get());
    }
    stream->Release();
    return contents;
}

TEST(CreateDibFromImageTest, IndexedPngGoesThroughItsPalette) {
    Gdiplus::PixelFormat format = PixelFormatUndefined;
    DibContents contents = ConvertPngResource(201, &format);
    ASSERT_EQ(format, PixelFormat8bppIndexed);
    // Rows 0 1 2 3 / 3 2 1 0 of red, green, blue and 0x102030.
    const std::vector<uint32_t> expected = {0xFF102030, 0xFF0000FF, 0xFF00FF00, 0xFFFF0000,
                                            0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFF102030};
    EXPECT_EQ(contents.pixels, expected);
}

// Whatever GDI+ decodes a palette with transparency to (an indexed format with alpha in its
// palette, or 32-bit ARGB as Wine does), the picture keeps each entry's straight alpha.
TEST(CreateDibFromImageTest, IndexedPngWithTransparencyKeepsItsAlpha) {
    Gdiplus::PixelFormat format = PixelFormatUndefined;
    DibContents contents = ConvertPngResource(202, &format);
    EXPECT_TRUE(format == PixelFormat8bppIndexed || format == PixelFormat32bppARGB) << std::hex << format;
    // Red opaque, green at alpha 128, blue at alpha 0, 0x102030 opaque. A fully transparent
    // pixel's colour is not compared: decoders may clear it.
    ASSERT_EQ(contents.pixels.size(), 8u);
    const uint32_t expected[8] = {0xFF102030, 0x000000FF, 0x8000FF00, 0xFFFF0000,
                                  0xFFFF0000, 0x8000FF00, 0x000000FF, 0xFF102030};
    for (size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        if ((expected[i] >> 24) == 0)
            EXPECT_EQ(contents.pixels[i] >> 24, 0u);
        else
            EXPECT_EQ(contents.pixels[i], expected[i]);
    }
}

TEST(CreateDibFromImageTest, ImageThatCannotBeLockedGivesNone) {
    const ImageCase& c = kImageCases[0];
    SourceImage source(c, false);
    Gdiplus::Rect whole(0, 0, c.width, c.height);
    Gdiplus::BitmapData held = {};
    ASSERT_EQ(source.image().LockBits(&whole, Gdiplus::ImageLockModeWrite, c.format, &held), Gdiplus::Ok);
    EXPECT_EQ(CreateDibFromImage(source.image()), nullptr);
    source.image().UnlockBits(&held);
}

TEST(CreateDibFromImageTest, UndecodedImageGivesNone) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 64);
    IStream* stream = nullptr;
    ASSERT_TRUE(SUCCEEDED(CreateStreamOnHGlobal(block, TRUE, &stream)));
    {
        Gdiplus::Bitmap image(stream);
        ASSERT_NE(image.GetLastStatus(), Gdiplus::Ok);
        EXPECT_EQ(CreateDibFromImage(image), nullptr);
    }
    stream->Release();
}

}  // namespace
