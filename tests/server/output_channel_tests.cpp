#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "server/output_channel.h"
#include "tests/support/output_capture.h"

namespace {

using Units = std::vector<std::string>;

void WriteLevel(const char* level, const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    WriteChannel(level, format, arguments);
    va_end(arguments);
}

struct SChannelCase {
    const char* name;
    std::function<void()> write;
    Units expected;
};

}  // namespace

TEST(OutputChannelTest, EachWriteIsOneExactUnit) {
    const char* nullNarrow = nullptr;
    const wchar_t* nullWide = nullptr;
    const SChannelCase cases[] = {
        {"EmptyMessageIsLevelAndColon", [] { LogInfo(L""); }, {"info:"}},
        {"FourWritersFourLevels",
         [] {
             LogError(L"%s\n", L"Failed to load library, err=126");
             LogWarn(L"w\n");
             LogInfo(L"i\n");
             LogResult(L"{\n");
         },
         {"error:Failed to load library, err=126\n", "warn:w\n", "info:i\n", ">:{\n"}},
        {"ResultBraceIsFourBytes", [] { LogResult(L"{\n"); }, {std::string(">:{\n", 4)}},
        {"PromptShapedUnit", [] { WriteLevel("ready", L"\n"); }, {"ready:\n"}},
        {"BeyondAsciiIsUtf8", [] { LogInfo(L"caf\xE9 \x20AC\n"); }, {"info:caf\xC3\xA9 \xE2\x82\xAC\n"}},
        {"SurrogatePairIsOneFourByteSequence", [] { LogInfo(L"%s", L"\xD83D\xDE00"); },
         {"info:\xF0\x9F\x98\x80"}},
        {"UnpairedSurrogateIsReplaced", [] { LogInfo(L"[%s]", L"\xDC00"); }, {"info:[\xEF\xBF\xBD]"}},
        {"NarrowByteE9ArrivesAsC3A9", [] { LogInfo(L"%S\n", "\xE9"); }, {"info:\xC3\xA9\n"}},
        {"NullTextsPrintNull", [=] { LogInfo(L"%s %S\n", nullWide, nullNarrow); }, {"info:(null) (null)\n"}},
        {"InnerLineFeedStaysOneUnit", [] { LogInfo(L"a\nb\n"); }, {"info:a\nb\n"}},
        {"NoTrailingLineFeedContinuesTheLine", [] {
             LogInfo(L"Looking for entry point in module %p", nullptr);
             LogInfo(L"next\n");
         },
#if defined(_WIN64)
         {"info:Looking for entry point in module 0000000000000000", "info:next\n"}},
#else
         {"info:Looking for entry point in module 00000000", "info:next\n"}},
#endif
        {"IdFormat", [] { LogResult(L"  \"id\":        \"%.8X\",\n", -1); }, {">:  \"id\":        \"FFFFFFFF\",\n"}},
    };
    for (const SChannelCase& c : cases) {
        SCOPED_TRACE(c.name);
        OutputCapture capture;
        ASSERT_TRUE(capture.ok());
        c.write();
        EXPECT_EQ(capture.Finish(), c.expected);
    }
}

TEST(OutputChannelTest, LongMessageIsStillOneWrite) {
    std::wstring message(100000, L'\xE9');
    std::string expected = "info:";
    for (size_t i = 0; i < message.size(); ++i) expected += "\xC3\xA9";
    expected += "\n";
    OutputCapture capture;
    ASSERT_TRUE(capture.ok());
    LogInfo(L"%s\n", message.c_str());
    Units units = capture.Finish();
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0], expected);
}

TEST(OutputChannelTest, UnusableOutputHandleLosesTheUnitQuietly) {
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    CloseHandle(readEnd);  // nobody reads: writes fail with a broken pipe
    HANDLE previous = outputHandle;
    for (HANDLE handle : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, writeEnd}) {
        outputHandle = handle;
        LogInfo(L"lost %i\n", 1);
        LogResult(L"}\n");
    }
    outputHandle = previous;
    CloseHandle(writeEnd);
    // Still usable afterwards.
    OutputCapture capture;
    LogInfo(L"after\n");
    EXPECT_EQ(capture.Finish(), Units{"info:after\n"});
}

TEST(OutputChannelTest, PluginTextForLogKeepsBytesAndHidesControlCharacters) {
    struct SCase {
        const char* text;
        const wchar_t* expected;
    };
    const SCase cases[] = {
        {"Plain Name", L"Plain Name"},
        {"", L""},
        {"\xE9\xFF~", L"\u00E9\u00FF~"},
        {"a\nb\rc\td\x1F" "e", L"a?b?c?d?e"},
        {"\n>:}\nready:\n", L"?>:}?ready:?"},
        {" \x7F", L" \u007F"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.text);
        Simple::CUniString text = PluginTextForLog(c.text);
        ASSERT_NE(text.GetData(), nullptr);
        EXPECT_STREQ(text.GetData(), c.expected);
    }
    EXPECT_EQ(PluginTextForLog(nullptr).GetData(), nullptr);
}
