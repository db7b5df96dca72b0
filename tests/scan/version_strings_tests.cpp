#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "scan/version_strings.h"

namespace {

std::wstring Text(const Simple::CUniString& text) { return text.GetData() ? text.GetData() : L""; }

TEST(VendorVersionToTextTest, EveryRangeAndBoundary) {
    const struct {
        int32_t version;
        const wchar_t* text;
    } cases[] = {
        {0, L""},
        // 1 to 9 and every negative value: the number itself.
        {1, L"1.0.0.0"},
        {7, L"7.0.0.0"},
        {9, L"9.0.0.0"},
        {-1, L"-1.0.0.0"},
        {-12345, L"-12345.0.0.0"},
        {INT_MIN, L"-2147483648.0.0.0"},
        // 10 to 9999: four decimal digits.
        {10, L"0.0.1.0"},
        {123, L"0.1.2.3"},
        {1000, L"1.0.0.0"},
        {1234, L"1.2.3.4"},
        {9999, L"9.9.9.9"},
        // 10000 to 65535: the first four of five digits.
        {10000, L"1.0.0.0"},
        {12345, L"1.2.3.4"},
        {65535, L"6.5.5.3"},
        // 0x10000 to 0x64FFFF: three bytes.
        {0x10000, L"1.0.0.0"},
        {0x10203, L"1.2.3.0"},
        {0x64FFFF, L"100.255.255.0"},
        // 0x650000 and above: decimal groups.
        {0x650000, L"0.66.19.136"},
        {12345678, L"1.23.45.678"},
        {INT_MAX, L"214.74.83.647"},
    };
    for (const auto& c : cases) EXPECT_EQ(Text(VendorVersionToText(c.version)), c.text) << "version " << c.version;
}

TEST(VendorVersionToTextTest, ZeroIsEmptyText) { EXPECT_TRUE(VendorVersionToText(0).IsEmpty()); }

VS_FIXEDFILEINFO FixedInfo(DWORD productMS, DWORD productLS, DWORD fileMS, DWORD fileLS) {
    VS_FIXEDFILEINFO info = {};
    info.dwSignature = 0xFEEF04BD;
    info.dwProductVersionMS = productMS;
    info.dwProductVersionLS = productLS;
    info.dwFileVersionMS = fileMS;
    info.dwFileVersionLS = fileLS;
    return info;
}

TEST(FileVersionToTextTest, ProductVersionWinsWhenAnyOfItsWordsIsSet) {
    const struct {
        DWORD productMS, productLS, fileMS, fileLS;
        const wchar_t* text;
    } cases[] = {
        {0x00010002, 0x00030004, 0x00050006, 0x00070008, L"1.2.3.4"},
        // Product 0.0.0.1 beats a larger file version.
        {0, 1, 0x00010002, 0x00030004, L"0.0.0.1"},
        {0x00020000, 0, 0x00090009, 0x00090009, L"2.0.0.0"},
        {0, 0, 0x00010002, 0x00030004, L"1.2.3.4"},
        {0, 0, 0, 0x00000005, L"0.0.0.5"},
        {0, 0, 0, 0, L""},
        {0xFFFFFFFF, 0xFFFFFFFF, 0, 0, L"65535.65535.65535.65535"},
        {0, 0, 0xFFFF0000, 0x0000FFFF, L"65535.0.0.65535"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Text(FileVersionToText(FixedInfo(c.productMS, c.productLS, c.fileMS, c.fileLS))), c.text)
            << std::hex << c.productMS << " " << c.productLS << " " << c.fileMS << " " << c.fileLS;
    }
}

}  // namespace
