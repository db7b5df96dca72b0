#include <gtest/gtest.h>

#include "server/parse_hex.h"

namespace {

struct SParseHexCase {
    const wchar_t* text;
    uint32_t value;
    int end;  // digits read; -1: no position returned
};

void PrintTo(const SParseHexCase& c, std::ostream* out) {
    for (const wchar_t* p = c.text; *p; ++p) *out << (*p < 128 ? static_cast<char>(*p) : '?');
}

class ParseHexTest : public testing::TestWithParam<SParseHexCase> {};

}  // namespace

TEST_P(ParseHexTest, ReadsLeadingDigits) {
    const SParseHexCase& c = GetParam();
    uint32_t value = 0xCCCCCCCC;
    const wchar_t* end = ParseHex(c.text, value);
    EXPECT_EQ(value, c.value);
    if (c.end < 0) {
        EXPECT_EQ(end, nullptr);
    } else {
        EXPECT_EQ(end, c.text + c.end);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseHexTest,
    testing::Values(SParseHexCase{L"1A4", 0x1A4, 3},
                    SParseHexCase{L"1b8", 0x1B8, 3},
                    SParseHexCase{L"aBcDeF", 0xABCDEF, 6},
                    SParseHexCase{L"0123456789", 0x23456789, 10},   // the last eight digits count
                    SParseHexCase{L"F000001A4", 0x000001A4, 9},
                    SParseHexCase{L"FFFFFFFF", 0xFFFFFFFF, 8},
                    SParseHexCase{L"0x1A4", 0, 1},                  // the x ends the number after 0
                    SParseHexCase{L"0", 0, 1},
                    SParseHexCase{L"1A2B zz", 0x1A2B, 4},
                    SParseHexCase{L"5A3B7C>", 0x5A3B7C, 6},
                    SParseHexCase{L"", 0, -1},
                    SParseHexCase{L"xyz", 0, -1},
                    SParseHexCase{L" 1A4", 0, -1},                 // no skipping of blanks
                    SParseHexCase{L"-1", 0, -1},                   // no sign
                    SParseHexCase{L"g1", 0, -1},
                    SParseHexCase{L"\xFF11", 0, -1}));             // a full-width digit is no digit

TEST(ParseHexNullTest, NullTextLeavesTheValue) {
    uint32_t value = 0x1234;
    EXPECT_EQ(ParseHex(nullptr, value), nullptr);
    EXPECT_EQ(value, 0x1234u);
}
