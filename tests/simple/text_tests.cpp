#include <gtest/gtest.h>

#include "simple/text.h"

using Simple::CUniString;

TEST(CUniStringTest, AppendGrowsCapacityByDoubling) {
    CUniString text;
    ASSERT_TRUE(text.Assign(L"ScanServer", -1));
    ASSERT_TRUE(text.Insert(-1, L"-x86", -1));
    EXPECT_STREQ(text.GetData(), L"ScanServer-x86");
    EXPECT_EQ(text.GetLength(), 14);
    EXPECT_EQ(text.GetHeader()->capacity, 20);
}

TEST(CUniStringTest, FormatUsesLegacyWideSpecifiers) {
    CUniString text = CUniString::Format(L"%s|%S|%i|%.8X|%s", L"wide", "narrow", -5, 0x1234u, static_cast<wchar_t*>(nullptr));
    EXPECT_STREQ(text.GetData(), L"wide|narrow|-5|00001234|(null)");
}
