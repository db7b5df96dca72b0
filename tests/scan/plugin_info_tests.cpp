#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/plugin_info.h"
#include "simple/platform.h"
#include "tests/support/output_capture.h"

namespace {

std::vector<std::string> Units(const std::vector<std::string>& lines) {
    std::vector<std::string> units;
    for (const std::string& line : lines) units.push_back(">:" + line);
    return units;
}

const std::string kPlatformLine = "  \"platform\":  \"" SCAN_PLATFORM_NARROW "\",\n";

std::vector<std::string> WriteAndCapture(const CPluginInfo& info) {
    OutputCapture capture;
    EXPECT_TRUE(capture.ok());
    info.WriteJson();
    return capture.Finish();
}

CShellInfo* NewShell(int32_t id, const wchar_t* name) {
    auto* shell = new CShellInfo;
    shell->id = id;
    shell->name.Assign(name);
    return shell;
}

TEST(WriteJsonTest, PlainEffectExample) {
    CPluginInfo info;
    info.id = 0x44656D6F;
    info.name.Assign(L"Demo Delay");
    info.vendor.Assign(L"Example Vendor");
    info.product.Assign(L"Demo Delay");
    info.version.Assign(L"1.2.0.0");
    info.numInputs = 2;
    info.numOutputs = 2;
    info.audio64 = true;
    info.category = 1;

    EXPECT_EQ(WriteAndCapture(info), Units({
                                         "{\n",
                                         "  \"id\":        \"44656D6F\",\n",
                                         "  \"name\":      \"Demo Delay\",\n",
                                         "  \"vendor\":    \"Example Vendor\",\n",
                                         "  \"product\":   \"Demo Delay\",\n",
                                         "  \"version\":   \"1.2.0.0\",\n",
                                         "  \"error\":     \"\",\n",
                                         "  \"numInputs\": 2,\n",
                                         "  \"numOutputs\":2,\n",
                                         "  \"wantsMidi\":  false,\n",
                                         "  \"sendsMidi\": false,\n",
                                         kPlatformLine,
                                         "  \"audio64\":   true,\n",
                                         "  \"category\":  1,\n",
                                         "  \"synthEdit\": false,\n",
                                         "}\n",
                                     }));
}

TEST(WriteJsonTest, ShellExampleListsEntriesInAppendOrder) {
    CPluginInfo info;
    info.id = 0x45784268;
    info.name.Assign(L"Example Bundle");
    info.vendor.Assign(L"Example Vendor");
    info.product.Assign(L"Example Bundle");
    info.version.Assign(L"2.0.1.0");
    info.numInputs = 2;
    info.numOutputs = 2;
    info.category = 10;
    info.shells.Add(NewShell(0x45784131, L"Bundle Reverb"));
    info.shells.Add(NewShell(0x45784132, L"Bundle EQ"));

    EXPECT_EQ(WriteAndCapture(info), Units({
                                         "{\n",
                                         "  \"id\":        \"45784268\",\n",
                                         "  \"name\":      \"Example Bundle\",\n",
                                         "  \"vendor\":    \"Example Vendor\",\n",
                                         "  \"product\":   \"Example Bundle\",\n",
                                         "  \"version\":   \"2.0.1.0\",\n",
                                         "  \"error\":     \"\",\n",
                                         "  \"numInputs\": 2,\n",
                                         "  \"numOutputs\":2,\n",
                                         "  \"wantsMidi\":  false,\n",
                                         "  \"sendsMidi\": false,\n",
                                         kPlatformLine,
                                         "  \"audio64\":   false,\n",
                                         "  \"category\":  10,\n",
                                         "  \"synthEdit\": false,\n",
                                         "  \"shells\": {\n",
                                         "        \"45784131\": \"Bundle Reverb\",\n",
                                         "        \"45784132\": \"Bundle EQ\",\n",
                                         "  },\n",
                                         "}\n",
                                     }));
}

const std::vector<std::string> kInitialLines = {
    "{\n",
    "  \"id\":        \"00000000\",\n",
    "  \"name\":      \"\",\n",
    "  \"vendor\":    \"\",\n",
    "  \"product\":   \"\",\n",
    "  \"version\":   \"\",\n",
    "  \"error\":     \"\",\n",
    "  \"numInputs\": 0,\n",
    "  \"numOutputs\":0,\n",
    "  \"wantsMidi\":  false,\n",
    "  \"sendsMidi\": false,\n",
    kPlatformLine,
    "  \"audio64\":   false,\n",
    "  \"category\":  -1,\n",
    "  \"synthEdit\": false,\n",
    "}\n",
};

TEST(WriteJsonTest, InitialRecordWritesEveryMemberWithInitialValues) {
    CPluginInfo info;
    EXPECT_EQ(WriteAndCapture(info), Units(kInitialLines));
}

TEST(WriteJsonTest, FailedScanWritesErrorAndInitialRest) {
    CPluginInfo info;
    info.error.Assign(L"Could not load C:\\Plug-ins\\Broken.dll (error 193)");
    std::vector<std::string> lines = kInitialLines;
    lines[6] = "  \"error\":     \"Could not load C:\\\\Plug-ins\\\\Broken.dll (error 193)\",\n";
    EXPECT_EQ(WriteAndCapture(info), Units(lines));
}

TEST(WriteJsonTest, EmptyAndAbsentTextsBothWriteEmptyStrings) {
    CPluginInfo info;
    info.name.Assign(L"");
    info.vendor.Assign(L"");
    ASSERT_NE(info.name.GetData(), nullptr);
    ASSERT_EQ(info.product.GetData(), nullptr);
    EXPECT_EQ(WriteAndCapture(info), Units(kInitialLines));
}

TEST(WriteJsonTest, IdsAreEightUpperCaseHexDigitsOfTheBits) {
    const struct {
        int32_t id;
        const char* line;
    } cases[] = {
        {-1, "  \"id\":        \"FFFFFFFF\",\n"},
        {0x1234, "  \"id\":        \"00001234\",\n"},
        {INT32_MIN, "  \"id\":        \"80000000\",\n"},
        {0x7ABCDEF0, "  \"id\":        \"7ABCDEF0\",\n"},
    };
    for (const auto& c : cases) {
        CPluginInfo info;
        info.id = c.id;
        std::vector<std::string> units = WriteAndCapture(info);
        ASSERT_GT(units.size(), 1u);
        EXPECT_EQ(units[1], std::string(">:") + c.line);
    }
}

TEST(WriteJsonTest, ShellBlockDependsOnlyOnCategory) {
    const struct {
        int32_t category;
        int entries;
        std::vector<std::string> block;  // between the synthEdit line and the closing brace
    } cases[] = {
        {10, 0, {"  \"shells\": {\n", "  },\n"}},
        {10, 1, {"  \"shells\": {\n", "        \"FFFFFFFE\": \"One \\\"1\\\"\",\n", "  },\n"}},
        {1, 1, {}},
        {-1, 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "category " << c.category << ", " << c.entries << " entries");
        CPluginInfo info;
        info.category = c.category;
        if (c.entries) info.shells.Add(NewShell(-2, L"One \"1\""));
        std::vector<std::string> units = WriteAndCapture(info);
        ASSERT_EQ(units.size(), 16 + c.block.size());
        std::vector<std::string> block(units.begin() + 15, units.end() - 1);
        EXPECT_EQ(block, Units(c.block));
        EXPECT_EQ(units.back(), ">:}\n");
    }
}

TEST(WriteJsonTest, ValuesNeverBreakALineAndStayAscii) {
    CPluginInfo info;
    info.name.Assign(L"Line\r\nBreak\x00e9\x4e2d");
    info.category = 10;
    info.shells.Add(NewShell(1, L"Tab\there\xd83d\xde00"));
    std::vector<std::string> units = WriteAndCapture(info);
    ASSERT_EQ(units.size(), 19u);
    EXPECT_EQ(units[2], ">:  \"name\":      \"Line\\r\\nBreak\\u00e9\\u4e2d\",\n");
    EXPECT_EQ(units[16], ">:        \"00000001\": \"Tab\\there\\ud83d\\ude00\",\n");
    for (const std::string& unit : units) {
        EXPECT_EQ(unit.find('\n'), unit.size() - 1) << unit;
        for (unsigned char byte : unit) EXPECT_LT(byte, 0x80) << unit;
    }
}

TEST(WriteJsonTest, WritingLeavesRecordUnchanged) {
    CPluginInfo info;
    info.name.Assign(L"A/B");
    info.category = 10;
    info.shells.Add(NewShell(7, L"Seven"));
    std::vector<std::string> first = WriteAndCapture(info);
    EXPECT_STREQ(info.name.GetData(), L"A/B");
    EXPECT_EQ(info.shells.GetCount(), 1);
    EXPECT_EQ(WriteAndCapture(info), first);
}

TEST(JsonEscapeTest, EveryRowOfTheEscapeTable) {
    const struct {
        const wchar_t* text;
        const wchar_t* escaped;
    } cases[] = {
        {L"\"", L"\\\""},
        {L"\\", L"\\\\"},
        {L"/", L"\\/"},
        {L"\b", L"\\b"},
        {L"\f", L"\\f"},
        {L"\n", L"\\n"},
        {L"\r", L"\\r"},
        {L"\t", L"\\t"},
        {L" ", L" "},
        {L"~", L"~"},
        {L"Az09!{}", L"Az09!{}"},
        {L"\x0001", L"\\u0001"},
        {L"\x000b", L"\\u000b"},
        {L"\x0014", L"\\u0014"},
        {L"\x001f", L"\\u001f"},
        {L"\x007f", L"\\u007f"},
        {L"\x0080", L"\\u0080"},
        {L"\x00e9", L"\\u00e9"},
        {L"\xabcd", L"\\uabcd"},
        {L"\xffff", L"\\uffff"},
        {L"/\\\"", L"\\/\\\\\\\""},
        {L"C:\\VST\\Demo.dll", L"C:\\\\VST\\\\Demo.dll"},
        // Outside the BMP: one escape per surrogate, the JSON form of the pair.
        {L"\xd83d\xde00", L"\\ud83d\\ude00"},
        // Unpaired and reversed surrogates pass through escaped, unchecked.
        {L"a\xd83d", L"a\\ud83d"},
        {L"\xde00z", L"\\ude00z"},
        {L"\xde00\xd83d", L"\\ude00\\ud83d"},
    };
    for (const auto& c : cases) {
        Simple::CUniString escaped = JsonEscape(c.text);
        ASSERT_NE(escaped.GetData(), nullptr) << c.escaped;
        EXPECT_STREQ(escaped.GetData(), c.escaped);
        EXPECT_EQ(escaped.GetLength(), static_cast<int>(wcslen(c.escaped))) << c.escaped;
    }
}

TEST(JsonEscapeTest, AbsentAndEmptyTextGiveEmptyText) {
    for (const wchar_t* text : {static_cast<const wchar_t*>(nullptr), L""}) {
        Simple::CUniString escaped = JsonEscape(text);
        ASSERT_NE(escaped.GetData(), nullptr);
        EXPECT_STREQ(escaped.GetData(), L"");
        EXPECT_EQ(escaped.GetLength(), 0);
    }
}

}  // namespace
