#include <gtest/gtest.h>

#include <malloc.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "simple/text.h"

using Simple::CAnsiString;
using Simple::CUniString;
using Simple::STextHeader;

namespace {

// The block as the heap sees it: the header is its start, and its size is what was asked of
// malloc or realloc.
template <typename Text>
size_t BlockSize(const Text& text) {
    return _msize(const_cast<STextHeader*>(text.GetHeader()));
}

template <typename Text>
int Refs(const Text& text) {
    return text.GetHeader() ? text.GetHeader()->refs : 0;
}

template <typename Text>
int Capacity(const Text& text) {
    return text.GetHeader() ? text.GetHeader()->capacity : -2;
}

// The cached length field, without counting.
template <typename Text>
int LengthField(const Text& text) {
    return text.GetHeader() ? text.GetHeader()->length : -2;
}

CUniString Wide(const wchar_t* text) {
    CUniString result;
    result.Assign(text, -1);
    return result;
}

std::wstring Units(const CUniString& text) { return text.GetData() ? std::wstring(text.GetData()) : std::wstring(); }
std::string Bytes(const CAnsiString& text) { return text.GetData() ? std::string(text.GetData()) : std::string(); }

// An unshared text holding content in a block of exactly the given capacity.
CUniString WithCapacity(const wchar_t* content, int capacity) {
    CUniString text;
    wchar_t* buffer = text.GetBuffer(capacity);
    wcscpy(buffer, content);
    text.GetLength();
    return text;
}

}  // namespace

// ---- layout -------------------------------------------------------------------------------

TEST(TextLayoutTest, ValueIsOnePointerToTheFirstCharacterBehindTheHeader) {
    CUniString wide = Wide(L"abc");
    CAnsiString narrow;
    narrow.Assign("abc");
    EXPECT_EQ(reinterpret_cast<const char*>(wide.GetData()), reinterpret_cast<const char*>(wide.GetHeader()) + 12);
    EXPECT_EQ(narrow.GetData(), reinterpret_cast<const char*>(narrow.GetHeader()) + 12);
    EXPECT_EQ(*reinterpret_cast<wchar_t* const*>(&wide), wide.GetData());
    EXPECT_EQ(*reinterpret_cast<char* const*>(&narrow), narrow.GetData());
}

TEST(TextLayoutTest, BlockSizesAreCapacityPlusTerminatorRoomPlusHeader) {
    for (int capacity : {0, 1, 7, 100, 4096}) {
        SCOPED_TRACE(capacity);
        CUniString wide;
        ASSERT_NE(wide.GetBuffer(capacity), nullptr);
        EXPECT_EQ(BlockSize(wide), static_cast<size_t>(capacity) * 2 + 16);
        CAnsiString narrow;
        ASSERT_NE(narrow.GetBuffer(capacity), nullptr);
        EXPECT_EQ(BlockSize(narrow), static_cast<size_t>(capacity) + 16);
    }
}

TEST(TextLayoutTest, ReallocatedBlockKeepsTheExactSize) {
    CUniString wide = Wide(L"ScanServer");
    ASSERT_TRUE(wide.Insert(-1, L"-x86", -1));
    EXPECT_EQ(BlockSize(wide), 20u * 2 + 16);
    CAnsiString narrow;
    narrow.Assign("abc");
    ASSERT_TRUE(narrow.Insert(-1, "de"));
    EXPECT_EQ(BlockSize(narrow), 6u + 16);
}

// ---- assignment ---------------------------------------------------------------------------

struct SAssignCase {
    const char* name;
    const wchar_t* source;
    int count;
    bool hasBlock;
    const wchar_t* content;
    int capacity;
};

class CUniStringAssignTest : public testing::TestWithParam<SAssignCase> {};

TEST_P(CUniStringAssignTest, GivesExactBlock) {
    const SAssignCase& c = GetParam();
    CUniString text = Wide(L"previous content");
    ASSERT_TRUE(text.Assign(c.source, c.count));
    EXPECT_EQ(text.GetData() != nullptr, c.hasBlock);
    EXPECT_EQ(text.GetLength(), static_cast<int>(wcslen(c.content)));
    EXPECT_EQ(text.IsEmpty(), c.content[0] == 0);
    EXPECT_EQ(Units(text), c.content);
    if (c.hasBlock) {
        EXPECT_EQ(Capacity(text), c.capacity);
        EXPECT_EQ(LengthField(text), c.capacity) << "Assign stores the length it copied";
        EXPECT_EQ(Refs(text), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CUniStringAssignTest,
    testing::Values(SAssignCase{"NullIsEmptyWithoutBlock", nullptr, -1, false, L"", 0},
                    SAssignCase{"NullWithCountIsEmptyWithoutBlock", nullptr, 5, false, L"", 0},
                    SAssignCase{"EmptyLiteralGivesBlockOfCapacityZero", L"", -1, true, L"", 0},
                    SAssignCase{"CountZeroGivesBlockOfCapacityZero", L"abc", 0, true, L"", 0},
                    SAssignCase{"WholeText", L"abc", -1, true, L"abc", 3},
                    SAssignCase{"FirstCountUnits", L"abcdef", 4, true, L"abcd", 4},
                    SAssignCase{"SurrogatePairIsTwoUnits", L"\xD83D\xDE00", -1, true, L"\xD83D\xDE00", 2}),
    [](const testing::TestParamInfo<SAssignCase>& info) { return std::string(info.param.name); });

TEST(CAnsiStringAssignTest, CopiesUpToTheTerminator) {
    struct {
        const char* source;
        bool hasBlock;
        const char* content;
    } cases[] = {{nullptr, false, ""}, {"", true, ""}, {"abc", true, "abc"}, {"a\xE9\xFF", true, "a\xE9\xFF"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        CAnsiString text;
        text.Assign("previous");
        ASSERT_TRUE(text.Assign(c.source));
        EXPECT_EQ(text.GetData() != nullptr, c.hasBlock);
        EXPECT_EQ(Bytes(text), c.content);
        EXPECT_EQ(text.GetLength(), static_cast<int>(strlen(c.content)));
        if (c.hasBlock) {
            EXPECT_EQ(Capacity(text), static_cast<int>(strlen(c.content)));
            EXPECT_EQ(BlockSize(text), strlen(c.content) + 16);
        }
    }
}

TEST(CUniStringAssignSharingTest, ReleasesASharedBlockWithoutTouchingIt) {
    CUniString shared = Wide(L"shared");
    CUniString text = shared;
    ASSERT_EQ(Refs(shared), 2);
    ASSERT_TRUE(text.Assign(L"own", -1));
    EXPECT_EQ(Refs(shared), 1);
    EXPECT_EQ(Units(shared), L"shared");
    EXPECT_EQ(Units(text), L"own");
}

// ---- sharing and release ------------------------------------------------------------------

TEST(TextSharingTest, CopiesShareOneBlockAndReleaseCountsDown) {
    CUniString a = Wide(L"abc");
    const STextHeader* block = a.GetHeader();
    {
        CUniString b = a;
        CUniString c;
        c = b;
        EXPECT_EQ(b.GetData(), a.GetData());
        EXPECT_EQ(c.GetData(), a.GetData());
        EXPECT_EQ(block->refs, 3);
        c.Release();
        EXPECT_EQ(c.GetData(), nullptr);
        EXPECT_EQ(block->refs, 2);
    }
    EXPECT_EQ(block->refs, 1);
    EXPECT_EQ(Units(a), L"abc");
}

TEST(TextSharingTest, SelfAssignmentKeepsTheBlock) {
    CUniString a = Wide(L"abc");
    CUniString b = a;
    const wchar_t* data = a.GetData();
    CUniString& alias = a;
    a = alias;
    EXPECT_EQ(a.GetData(), data);
    EXPECT_EQ(Refs(a), 2);
    a = b;  // already sharing the same block
    EXPECT_EQ(a.GetData(), data);
    EXPECT_EQ(Refs(a), 2);
}

TEST(TextSharingTest, AssigningReleasesTheOldBlockFirst) {
    CUniString a = Wide(L"first");
    CUniString keep = a;
    CUniString b = Wide(L"second");
    a = b;
    EXPECT_EQ(Refs(keep), 1);
    EXPECT_EQ(Refs(b), 2);
    EXPECT_EQ(Units(a), L"second");
    EXPECT_EQ(Units(keep), L"first");
}

TEST(TextSharingTest, EmptyTextsShareNothing) {
    CUniString a;
    CUniString b = a;
    b = a;
    EXPECT_EQ(b.GetData(), nullptr);
    b.Release();
    EXPECT_EQ(b.GetData(), nullptr);
}

TEST(TextSharingTest, CachedLengthIsSeenByEveryHolder) {
    CUniString a;
    wcscpy(a.GetBuffer(10), L"hello");
    CUniString b = a;
    ASSERT_EQ(LengthField(b), -1);
    EXPECT_EQ(a.GetLength(), 5);
    EXPECT_EQ(LengthField(b), 5);
    EXPECT_FALSE(b.IsEmpty());
}

// ---- GetBuffer ----------------------------------------------------------------------------

TEST(GetBufferTest, WithoutBlockAllocatesExactlyAndTerminates) {
    CUniString text;
    wchar_t* buffer = text.GetBuffer(5);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer, text.GetData());
    EXPECT_EQ(Capacity(text), 5);
    EXPECT_EQ(LengthField(text), -1);
    EXPECT_EQ(Refs(text), 1);
    EXPECT_EQ(buffer[5], 0);
}

TEST(GetBufferTest, UnsharedBlockLargeEnoughIsKept) {
    CUniString text = WithCapacity(L"abc", 10);
    const wchar_t* data = text.GetData();
    text.GetLength();
    for (int n : {0, 3, 10}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(text.GetBuffer(n), data);
        EXPECT_EQ(Capacity(text), 10);
        EXPECT_EQ(LengthField(text), -1);
        EXPECT_EQ(Units(text), L"abc");
    }
}

TEST(GetBufferTest, UnsharedBlockTooSmallGrowsExactlyKeepingContent) {
    CUniString text = Wide(L"abc");
    wchar_t* buffer = text.GetBuffer(50);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(Capacity(text), 50);
    EXPECT_EQ(LengthField(text), -1);
    EXPECT_EQ(buffer[50], 0);
    EXPECT_EQ(Units(text), L"abc");
    EXPECT_EQ(BlockSize(text), 50u * 2 + 16);
}

TEST(GetBufferTest, SharedBlockIsCopiedToAPrivateBlockOfTheAskedSize) {
    struct {
        int n;
        const wchar_t* keptPrefix;
    } cases[] = {{20, L"abcdefghij"}, {10, L"abcdefghij"}, {4, L"abcd"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        CUniString other = Wide(L"abcdefghij");
        CUniString text = other;
        wchar_t* buffer = text.GetBuffer(c.n);
        ASSERT_NE(buffer, nullptr);
        EXPECT_NE(buffer, other.GetData());
        EXPECT_EQ(Refs(text), 1);
        EXPECT_EQ(Refs(other), 1);
        EXPECT_EQ(Capacity(text), c.n);
        EXPECT_EQ(LengthField(text), -1);
        EXPECT_EQ(std::wstring(buffer, wcslen(c.keptPrefix)), c.keptPrefix);
        buffer[c.n] = 0;
        buffer[0] = L'X';
        EXPECT_EQ(Units(other), L"abcdefghij");
        EXPECT_EQ(other.GetLength(), 10);
    }
}

TEST(GetBufferTest, ImpossibleSizeReturnsNullAndKeepsTheText) {
    for (int n : {-1, INT_MAX, CUniString::MaxCapacity + 1}) {
        SCOPED_TRACE(n);
        CUniString text = Wide(L"keep");
        const wchar_t* data = text.GetData();
        EXPECT_EQ(text.GetBuffer(n), nullptr);
        EXPECT_EQ(text.GetData(), data);
        EXPECT_EQ(Units(text), L"keep");
        EXPECT_EQ(text.GetLength(), 4);
        CUniString empty;
        EXPECT_EQ(empty.GetBuffer(n), nullptr);
        EXPECT_EQ(empty.GetData(), nullptr);
    }
}

TEST(GetBufferTest, LengthIsCountedOnDemandAfterWriting) {
    CAnsiString text;
    char* buffer = text.GetBuffer(16);
    strcpy(buffer, "abc");
    EXPECT_EQ(LengthField(text), -1);
    EXPECT_EQ(text.GetLength(), 3);
    EXPECT_EQ(LengthField(text), 3);
    EXPECT_EQ(Capacity(text), 16);
}

TEST(TextEmptyTest, BothEmptyFormsAreEmpty) {
    CUniString none;
    CUniString zero = Wide(L"");
    CAnsiString noneNarrow;
    CAnsiString zeroNarrow;
    zeroNarrow.Assign("");
    EXPECT_TRUE(none.IsEmpty());
    EXPECT_TRUE(zero.IsEmpty());
    EXPECT_TRUE(noneNarrow.IsEmpty());
    EXPECT_TRUE(zeroNarrow.IsEmpty());
    EXPECT_EQ(none.GetLength(), 0);
    EXPECT_EQ(zero.GetLength(), 0);
    EXPECT_EQ(none.GetData(), nullptr);
    ASSERT_NE(zero.GetData(), nullptr);
    EXPECT_EQ(zero.GetData()[0], 0);
    EXPECT_FALSE(Wide(L"a").IsEmpty());
}

// ---- Insert -------------------------------------------------------------------------------

struct SInsertCase {
    const char* name;
    const wchar_t* content;  // null: the text has no block
    int capacity;            // of the text's block (at least the content's length)
    bool shared;             // another value shares the block
    int position;
    const wchar_t* inserted;
    int count;
    const wchar_t* expected;
    int expectedCapacity;    // -2: still no block
};

class CUniStringInsertTest : public testing::TestWithParam<SInsertCase> {};

TEST_P(CUniStringInsertTest, PlacesUnitsAndSizesTheBlock) {
    const SInsertCase& c = GetParam();
    CUniString text;
    if (c.content) text = WithCapacity(c.content, c.capacity);
    CUniString other;
    if (c.shared) other = text;
    ASSERT_TRUE(text.Insert(c.position, c.inserted, c.count));
    EXPECT_EQ(Units(text), c.expected);
    EXPECT_EQ(Capacity(text), c.expectedCapacity);
    if (c.expectedCapacity != -2) {
        EXPECT_EQ(LengthField(text), static_cast<int>(wcslen(c.expected)));
        EXPECT_EQ(Refs(text), 1);
        EXPECT_EQ(BlockSize(text), static_cast<size_t>(c.expectedCapacity) * 2 + 16);
    }
    if (c.shared) {
        EXPECT_EQ(Units(other), c.content) << "the other holder keeps the old text";
        EXPECT_EQ(Refs(other), 1);
        EXPECT_EQ(Capacity(other), c.capacity);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CUniStringInsertTest,
    testing::Values(
        SInsertCase{"AppendDoublesCapacity", L"ScanServer", 10, false, -1, L"-x86", -1, L"ScanServer-x86", 20},
        SInsertCase{"AppendAtLengthIsAppend", L"ScanServer", 10, false, 10, L"-x86", -1, L"ScanServer-x86", 20},
        SInsertCase{"FiveIntoTenWithEightDoubles", L"abcdefgh", 10, false, -1, L"12345", 5, L"abcdefgh12345", 20},
        SInsertCase{"TwentyFiveIntoTenWithEightTakesNeed", L"abcdefgh", 10, false, -1,
                    L"ABCDEFGHIJKLMNOPQRSTUVWXY", 25, L"abcdefghABCDEFGHIJKLMNOPQRSTUVWXY", 33},
        SInsertCase{"FitsInPlace", L"abc", 10, false, -1, L"de", -1, L"abcde", 10},
        SInsertCase{"SharedGetsExactPrivateCopy", L"0123456789", 100, true, -1, L"abc", 3, L"0123456789abc", 13},
        SInsertCase{"SharedInsertInTheMiddle", L"0123456789", 100, true, 2, L"ab", 2, L"01ab23456789", 12},
        SInsertCase{"MovesTheTail", L"abc", 3, false, 1, L"XY", 2, L"aXYbc", 6},
        SInsertCase{"AtTheStart", L"abc", 3, false, 0, L"XY", -1, L"XYabc", 6},
        SInsertCase{"FirstCountUnitsOnly", L"abc", 3, false, -1, L"XYZ", 1, L"abcX", 6},
        SInsertCase{"IntoNoBlockIsExact", nullptr, 0, false, -1, L"hello", -1, L"hello", 5},
        SInsertCase{"EmptyLiteralIntoNoBlockGivesCapacityZero", nullptr, 0, false, -1, L"", -1, L"", 0},
        SInsertCase{"NullTextIntoNoBlockGivesCapacityZero", nullptr, 0, false, -1, nullptr, -1, L"", 0},
        SInsertCase{"CountZeroLeavesNoBlock", nullptr, 0, false, -1, L"abc", 0, L"", -2},
        SInsertCase{"CountZeroLeavesTheBlock", L"abc", 3, false, 0, L"XYZ", 0, L"abc", 3},
        SInsertCase{"PositionBeyondTheEndAppends", L"abc", 3, false, 99, L"d", -1, L"abcd", 6}),
    [](const testing::TestParamInfo<SInsertCase>& info) { return std::string(info.param.name); });

TEST(CUniStringInsertEdgeTest, CountZeroChangesNotEvenTheLengthField) {
    CUniString text;
    wcscpy(text.GetBuffer(8), L"abc");
    ASSERT_EQ(LengthField(text), -1);
    ASSERT_TRUE(text.Insert(-1, L"x", 0));
    EXPECT_EQ(LengthField(text), -1);
    EXPECT_EQ(Capacity(text), 8);
}

TEST(CUniStringInsertEdgeTest, NullTextWithACountInsertsNothing) {
    CUniString text = Wide(L"abc");
    ASSERT_TRUE(text.Insert(1, nullptr, 5));
    EXPECT_EQ(Units(text), L"abc");
}

TEST(CUniStringInsertEdgeTest, ManySmallAppendsReallocateLogarithmically) {
    CUniString text;
    int growths = 0;
    int capacity = -2;
    for (int i = 0; i < 10000; ++i) {
        ASSERT_TRUE(text.Insert(-1, L"x", 1));
        if (Capacity(text) != capacity) ++growths, capacity = Capacity(text);
    }
    EXPECT_EQ(text.GetLength(), 10000);
    EXPECT_EQ(Capacity(text), 16384);
    EXPECT_EQ(growths, 15);  // 1, 2, 4, ..., 16384
}

TEST(CUniStringInsertEdgeTest, OverlongInsertFailsAndLeavesTheText) {
    CUniString text = Wide(L"abc");
    const wchar_t* data = text.GetData();
    EXPECT_FALSE(text.Insert(-1, L"x", INT_MAX));
    EXPECT_EQ(text.GetData(), data);
    EXPECT_EQ(Units(text), L"abc");
}

TEST(CAnsiStringInsertTest, AppendsAndInsertsBytes) {
    struct {
        const char* content;
        int position;
        const char* inserted;
        const char* expected;
        int expectedCapacity;
    } cases[] = {
        {"abc", -1, "de", "abcde", 6},
        {"abc", 1, "XY", "aXYbc", 6},
        {"abc", 3, "", "abc", 3},
        {"abc", -1, nullptr, "abc", 3},
        {nullptr, -1, "info", "info", 4},
        {nullptr, -1, nullptr, "", 0},  // no early return: a block of capacity 0
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        CAnsiString text;
        if (c.content) text.Assign(c.content);
        ASSERT_TRUE(text.Insert(c.position, c.inserted));
        EXPECT_EQ(Bytes(text), c.expected);
        EXPECT_EQ(Capacity(text), c.expectedCapacity);
        EXPECT_EQ(LengthField(text), static_cast<int>(strlen(c.expected)));
    }
}

TEST(CAnsiStringInsertTest, SharedBlockIsCopiedBeforeWriting) {
    CAnsiString a;
    a.Assign("level");
    CAnsiString b = a;
    ASSERT_TRUE(b.Insert(-1, ":"));
    EXPECT_EQ(Bytes(a), "level");
    EXPECT_EQ(Bytes(b), "level:");
    EXPECT_EQ(Capacity(b), 6);
    EXPECT_EQ(Refs(a), 1);
}

// ---- Format -------------------------------------------------------------------------------

TEST(FormatTest, LengthIsCountedOnFirstUse) {
    CUniString text = CUniString::Format(L"%i.%i.%i.%i", 1, 2, 3, 4);
    EXPECT_EQ(Capacity(text), 8);
    EXPECT_EQ(LengthField(text), -1);
    EXPECT_EQ(text.GetLength(), 7);
    EXPECT_EQ(LengthField(text), 7);
    EXPECT_EQ(Units(text), L"1.2.3.4");
}

struct SFormatCase {
    const wchar_t* expected;
    CUniString text;
};

TEST(FormatTest, LegacyWideSpecifiers) {
    const wchar_t* nullWide = nullptr;
    const char* nullNarrow = nullptr;
#if defined(_WIN64)
    const wchar_t* pointer = L"00000000DEADBEEF";
    const wchar_t* smallPointer = L"0000000000001234";
#else
    const wchar_t* pointer = L"DEADBEEF";
    const wchar_t* smallPointer = L"00001234";
#endif
    const SFormatCase cases[] = {
        {L"wide", CUniString::Format(L"%s", L"wide")},
        {L"\xD83D\xDE00|\xE9", CUniString::Format(L"%s|%s", L"\xD83D\xDE00", L"\xE9")},
        {L"narrow", CUniString::Format(L"%S", "narrow")},
        {L"\x00E9\x00FF\x0041", CUniString::Format(L"%S", "\xE9\xFF\x41")},
        {L"(null)", CUniString::Format(L"%s", nullWide)},
        {L"(null)", CUniString::Format(L"%S", nullNarrow)},
        {L"-5|0|2147483647|-2147483648", CUniString::Format(L"%i|%i|%i|%i", -5, 0, INT_MAX, INT_MIN)},
        {L"00001234", CUniString::Format(L"%.8X", 0x1234)},
        {L"FFFFFFFF", CUniString::Format(L"%.8X", -1)},
        {L"44656D6F", CUniString::Format(L"%.8X", 0x44656D6F)},
        {L"00e9|001f|ffff", CUniString::Format(L"%.4x|%.4x|%.4x", 0xE9, 0x1F, 0xFFFF)},
        {L"2024-01-05", CUniString::Format(L"%.4i-%.2i-%.2i", 2024, 1, 5)},
        {pointer, CUniString::Format(L"%p", reinterpret_cast<void*>(static_cast<uintptr_t>(0xDEADBEEFu)))},
        {smallPointer, CUniString::Format(L"%p", reinterpret_cast<void*>(static_cast<uintptr_t>(0x1234)))},
        {L"Audio master callback: 1 - audioMasterVersion",
         CUniString::Format(L"Audio master callback: %i - %S", 1, "audioMasterVersion")},
        {L"100% sure", CUniString::Format(L"100%% sure")},
    };
    for (const SFormatCase& c : cases) {
        EXPECT_EQ(Units(c.text), c.expected);
        EXPECT_EQ(Capacity(c.text), static_cast<int>(wcslen(c.expected)) + 1) << Units(c.text).c_str();
    }
}

TEST(FormatTest, NarrowArgumentWidensEveryByteToItsOwnValue) {
    char bytes[256];
    for (int i = 1; i < 256; ++i) bytes[i - 1] = static_cast<char>(i);
    bytes[255] = 0;
    CUniString text = CUniString::Format(L"%S", bytes);
    ASSERT_EQ(text.GetLength(), 255);
    for (int i = 1; i < 256; ++i) EXPECT_EQ(static_cast<int>(text.GetData()[i - 1]), i) << "byte " << i;
}

TEST(FormatTest, EmptyResultIsABlockHoldingOnlyTheTerminator) {
    CUniString text = CUniString::Format(L"");
    ASSERT_NE(text.GetData(), nullptr);
    EXPECT_EQ(text.GetLength(), 0);
    EXPECT_EQ(Capacity(text), 1);
}

TEST(FormatTest, LongResultFitsExactly) {
    std::wstring long_(5000, L'\xE9');
    CUniString text = CUniString::Format(L"[%s]", long_.c_str());
    EXPECT_EQ(text.GetLength(), 5002);
    EXPECT_EQ(Capacity(text), 5003);
    EXPECT_EQ(Units(text), L"[" + long_ + L"]");
}

// ---- conversions --------------------------------------------------------------------------

struct SToUtf8Case {
    const char* name;
    std::wstring source;
    std::string expected;
};

TEST(ToUtf8Test, ConvertsInOnePassIntoThreeBytesPerUnit) {
    const SToUtf8Case cases[] = {
        {"AsciiAndLatin", L"\x00E9\x0041", "\xC3\xA9\x41"},
        {"Empty", L"", ""},
        {"TwoByteEdge", L"\x0080\x07FF", "\xC2\x80\xDF\xBF"},
        {"ThreeByteEdge", L"\x0800\xFFFF", "\xE0\xA0\x80\xEF\xBF\xBF"},
        {"SurrogatePairIsOneFourByteSequence", L"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
        {"HighestPair", L"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},
        {"UnpairedHighBeforeAscii", L"\xD83D" L"A", "\xEF\xBF\xBD" "A"},
        {"UnpairedHighAtTheEnd", L"a\xD83D", "a\xEF\xBF\xBD"},
        {"UnpairedLow", L"\xDE00z", "\xEF\xBF\xBDz"},
        {"SwappedPair", L"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CAnsiString text = Simple::ToUtf8(c.source.c_str());
        EXPECT_EQ(Bytes(text), c.expected);
        EXPECT_EQ(Capacity(text), static_cast<int>(c.source.size() + 1) * 3);
        EXPECT_EQ(LengthField(text), -1);
        EXPECT_EQ(text.GetLength(), static_cast<int>(c.expected.size()));
    }
}

TEST(ToUtf8Test, NullGivesNoBlock) { EXPECT_EQ(Simple::ToUtf8(nullptr).GetData(), nullptr); }

TEST(FromUtf8Test, ConvertsValidSequences) {
    struct {
        const char* name;
        std::string source;
        std::wstring expected;
    } cases[] = {
        {"Latin", "\xC3\xA9", L"\x00E9"},
        {"Empty", "", L""},
        {"Ascii", "C:\\Plugins\\Delay.dll", L"C:\\Plugins\\Delay.dll"},
        {"ThreeBytes", "\xE2\x82\xAC", L"\x20AC"},
        {"FourBytesBecomeAPair", "\xF0\x9F\x98\x80", L"\xD83D\xDE00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CUniString text = Simple::FromUtf8(c.source.c_str());
        EXPECT_EQ(Units(text), c.expected);
        EXPECT_EQ(Capacity(text), static_cast<int>(c.source.size()) + 1);
        EXPECT_EQ(LengthField(text), -1);
    }
}

TEST(FromUtf8Test, InvalidSequencesBecomeReplacementCharacters) {
    // The platform converter decides how many replacement characters a bad sequence gives;
    // what holds everywhere: valid neighbours survive, nothing bad is decoded.
    struct {
        const char* name;
        std::string source;
        std::wstring before, after;
    } cases[] = {
        {"LoneContinuation", "a\x80z", L"a", L"z"},
        {"ByteFF", "a\xFFz", L"a", L"z"},
        {"TruncatedTwoByte", "a\xC3", L"a", L""},
        {"TruncatedThreeByteBeforeAscii", "a\xE2\x82z", L"a", L"z"},
        {"OverlongSolidus", "a\xC0\xAFz", L"a", L"z"},
        {"EncodedSurrogate", "a\xED\xA0\xBDz", L"a", L"z"},
        {"BeyondU10FFFF", "a\xF4\x90\x80\x80z", L"a", L"z"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CUniString text = Simple::FromUtf8(c.source.c_str());
        std::wstring units = Units(text);
        ASSERT_GE(units.size(), c.before.size() + c.after.size() + 1);
        EXPECT_EQ(units.substr(0, c.before.size()), c.before);
        EXPECT_EQ(units.substr(units.size() - c.after.size()), c.after);
        std::wstring middle = units.substr(c.before.size(), units.size() - c.before.size() - c.after.size());
        EXPECT_EQ(middle.find_first_not_of(L'\xFFFD'), std::wstring::npos);
        EXPECT_LE(middle.size(), c.source.size() - c.before.size() - c.after.size());
        EXPECT_LE(text.GetLength(), Capacity(text));
    }
}

TEST(FromUtf8Test, NullGivesNoBlock) { EXPECT_EQ(Simple::FromUtf8(nullptr).GetData(), nullptr); }

TEST(FromNarrowTest, EveryByteBecomesTheUnitOfTheSameValue) {
    char bytes[256];
    for (int i = 1; i < 256; ++i) bytes[i - 1] = static_cast<char>(i);
    bytes[255] = 0;
    CUniString text = Simple::FromNarrow(bytes);
    ASSERT_EQ(text.GetLength(), 255);
    for (int i = 1; i < 256; ++i) EXPECT_EQ(static_cast<int>(text.GetData()[i - 1]), i) << "byte " << i;
    EXPECT_EQ(Capacity(text), 2 * 255 + 1);
}

TEST(FromNarrowTest, LatinBytesAreNotReadAsUtf8) {
    CUniString text = Simple::FromNarrow("\x41\xE9");
    EXPECT_EQ(Units(text), L"\x0041\x00E9");
    EXPECT_EQ(Capacity(text), 5);
    EXPECT_EQ(LengthField(text), -1);
    EXPECT_EQ(Units(Simple::FromNarrow("\xC3\xA9")), L"\x00C3\x00A9");
    EXPECT_EQ(Units(Simple::FromNarrow("")), L"");
    EXPECT_NE(Simple::FromNarrow("").GetData(), nullptr);
    EXPECT_EQ(Simple::FromNarrow(nullptr).GetData(), nullptr);
}
