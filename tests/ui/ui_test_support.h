// Helpers for the picture and window tests: GDI+ for the whole run, an owner for GDI bitmaps,
// and a reader that returns a DIB section's description and pixels.
#pragma once

#include <windows.h>
#include <gdiplus.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

class GdiplusEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&m_token, &input, nullptr), Gdiplus::Ok);
    }
    void TearDown() override {
        if (m_token) Gdiplus::GdiplusShutdown(m_token);
    }

private:
    ULONG_PTR m_token = 0;
};

// Owns a GDI bitmap.
class GdiBitmap {
public:
    explicit GdiBitmap(HBITMAP bitmap = nullptr) : m_bitmap(bitmap) {}
    GdiBitmap(const GdiBitmap&) = delete;
    GdiBitmap& operator=(const GdiBitmap&) = delete;
    GdiBitmap(GdiBitmap&& other) noexcept : m_bitmap(std::exchange(other.m_bitmap, nullptr)) {}
    GdiBitmap& operator=(GdiBitmap&& other) noexcept {
        if (this != &other) reset(std::exchange(other.m_bitmap, nullptr));
        return *this;
    }
    ~GdiBitmap() { reset(); }

    HBITMAP get() const { return m_bitmap; }
    void reset(HBITMAP bitmap = nullptr) {
        if (m_bitmap) DeleteObject(m_bitmap);
        m_bitmap = bitmap;
    }

private:
    HBITMAP m_bitmap = nullptr;
};

struct DibContents {
    bool isDibSection = false;
    BITMAPINFOHEADER header = {};
    std::vector<uint32_t> pixels;  // in memory order: for a bottom-up DIB the last row first
};

inline DibContents ReadDib(HBITMAP bitmap) {
    DibContents contents;
    DIBSECTION section = {};
    if (GetObjectW(bitmap, sizeof section, &section) != sizeof section || !section.dsBm.bmBits) return contents;
    contents.isDibSection = true;
    contents.header = section.dsBmih;
    size_t bytes = size_t(section.dsBm.bmWidthBytes) * size_t(section.dsBm.bmHeight);
    contents.pixels.resize(bytes / 4);
    memcpy(contents.pixels.data(), section.dsBm.bmBits, contents.pixels.size() * 4);
    return contents;
}

// A DIB section of the given size and depth (a negative height makes it top-down) holding a
// copy of `bytes`.
inline HBITMAP MakeDib(LONG width, LONG height, WORD bitCount, const void* bytes, size_t size) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = bitCount;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (dib) memcpy(bits, bytes, size);
    return dib;
}

// An IStream over a copy of resource `id` of type "PNG" in `module`; null when it is missing.
inline IStream* OpenPngResource(HMODULE module, WORD id) {
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), L"PNG");
    if (!resource) return nullptr;
    DWORD size = SizeofResource(module, resource);
    const void* bytes = LockResource(LoadResource(module, resource));
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!bytes || !copy) return nullptr;
    memcpy(GlobalLock(copy), bytes, size);
    GlobalUnlock(copy);
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(copy, TRUE, &stream))) GlobalFree(copy);
    return stream;
}
