// The pipe protocol of the real ScanServer-x64.exe, driven through the test host as a host
// application would drive it.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/answer.h"
#include "tests/support/test_host.h"

namespace {

const std::string kBanner = "info:Velmorant Plugin Scan Server (x64)\n";
const std::string kPrompt = "ready:\n";
const std::vector<std::string> kMembers = {"id",         "name",      "vendor",    "product",  "version",
                                           "error",      "numInputs", "numOutputs", "wantsMidi", "sendsMidi",
                                           "platform",   "audio64",   "category",  "synthEdit"};

// What a failed scan answers, whatever failed: one line at level "error", then a complete
// record whose "error" member holds the same text.
void ExpectFailedScanAnswer(const std::string& answer, const std::string& error = "") {
    std::vector<std::string> errors = LinesAt(answer, "error");
    ASSERT_EQ(errors.size(), 1u) << answer;
    if (!error.empty()) {
        EXPECT_EQ(errors[0], error);
    }
    SRecord record = ParseRecord(answer);
    ASSERT_TRUE(record.wellFormed) << answer;
    EXPECT_EQ(record.records, 1);
    EXPECT_EQ(record.Member("error"), errors[0]);
    std::vector<std::string> names;
    for (const auto& member : record.members) names.push_back(member.first);
    EXPECT_EQ(names, kMembers);
    EXPECT_EQ(record.Member("id"), "00000000");
    EXPECT_EQ(record.Member("platform"), "x64");
    EXPECT_EQ(record.Member("category"), "-1");
    EXPECT_FALSE(record.hasShells);
    EXPECT_EQ(SplitLines(answer).back(), ">:}") << "the record closes the answer";
}

}  // namespace

TEST(ProtocolTest, BannerThenPromptThenExitOnClose) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    EXPECT_EQ(host.ReadUntilPrompt(), "info:Velmorant Plugin Scan Server (x64)\n");
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
    EXPECT_EQ(host.Rest(), "");
}

TEST(ProtocolTest, EveryRequestIsAnsweredAndPromptedAgain) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_EQ(host.ReadUntilPrompt(), kBanner);
    for (const char* path : {"C:\\missing\\one.dll", "C:\\missing\\two.dll", "C:\\missing\\one.dll"}) {
        SCOPED_TRACE(path);
        std::string answer = host.Request(path);
        ASSERT_FALSE(host.timedOut());
        EXPECT_EQ(SplitLines(answer).front(), std::string("info:Scanning plugin: '") + path + "'");
        ExpectFailedScanAnswer(answer);
    }
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
    EXPECT_EQ(host.Rest(), "") << "nothing is cached after failed loads, so nothing is freed";
}

// ---- the command line ---------------------------------------------------------------------

namespace {

enum class EMode { Request, Message };
enum class EWhere { OutputPipe, StandardOutput };

struct SArgumentsCase {
    const char* name;
    const wchar_t* arguments;
    EMode mode;
    EWhere output;
};

void PrintTo(const SArgumentsCase& c, std::ostream* out) { *out << c.name; }

class HandleArgumentsTest : public testing::TestWithParam<SArgumentsCase> {};

}  // namespace

TEST_P(HandleArgumentsTest, ChooseModeAndOutput) {
    const SArgumentsCase& c = GetParam();
    TestHost host;
    host.SetStandardOutput(TestHost::EStandardOutput::Separate);
    ASSERT_TRUE(host.StartWithArguments(c.arguments));
    std::string expected = kBanner;
    if (c.mode == EMode::Request) {
        // A request proves that the input handle is the pipe; its answer, that output reaches
        // the expected place.
        ASSERT_TRUE(host.Send("probe.dll\n"));
        host.CloseInput();
        ASSERT_EQ(host.WaitForExit(), 0);
    } else {
        host.CloseInput();  // not read in message mode
        ASSERT_TRUE(host.PostQuit());
        ASSERT_EQ(host.WaitForExit(), 0);
    }
    std::string seen = c.output == EWhere::OutputPipe ? host.Rest() : host.StandardOutput();
    std::string elsewhere = c.output == EWhere::OutputPipe ? host.StandardOutput() : host.Rest();
    EXPECT_EQ(elsewhere, "");
    ASSERT_EQ(seen.compare(0, kBanner.size(), kBanner), 0) << seen;
    if (c.mode == EMode::Message) {
        EXPECT_EQ(seen, kBanner) << "message mode never prompts";
    } else {
        std::string rest = seen.substr(kBanner.size());
        ASSERT_EQ(rest.compare(0, kPrompt.size(), kPrompt), 0) << seen;
        std::string answer = rest.substr(kPrompt.size(), rest.size() - 2 * kPrompt.size());
        EXPECT_EQ(rest.substr(rest.size() - kPrompt.size()), kPrompt);
        EXPECT_EQ(SplitLines(answer).front(), "info:Scanning plugin: 'probe.dll'");
        ExpectFailedScanAnswer(answer);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HandleArgumentsTest,
    testing::Values(
        SArgumentsCase{"UpperCaseHex", L"%IN% %OUT%", EMode::Request, EWhere::OutputPipe},
        SArgumentsCase{"LowerCaseHex", L"%in% %out%", EMode::Request, EWhere::OutputPipe},
        SArgumentsCase{"LeadingZeros", L"%IN8% %OUT8%", EMode::Request, EWhere::OutputPipe},
        SArgumentsCase{"NineDigitsKeepTheLastEight", L"F%IN8% 1%OUT8%", EMode::Request, EWhere::OutputPipe},
        SArgumentsCase{"OwnerAndEmptyDumpFolder", L"%IN% %OUT% 0 \"\"", EMode::Request, EWhere::OutputPipe},
        SArgumentsCase{"ArgumentsAfterTheFourthIgnored", L"%IN% %OUT% 0 C:\\dumps extra more", EMode::Request,
                       EWhere::OutputPipe},
        SArgumentsCase{"OutputZeroFallsBack", L"%IN% 0", EMode::Request, EWhere::StandardOutput},
        SArgumentsCase{"OutputWithPrefixFallsBack", L"%IN% 0x%OUT%", EMode::Request, EWhere::StandardOutput},
        SArgumentsCase{"OutputEmptyFallsBack", L"%IN% \"\"", EMode::Request, EWhere::StandardOutput},
        SArgumentsCase{"OutputAbsentFallsBack", L"%IN%", EMode::Request, EWhere::StandardOutput},
        SArgumentsCase{"InputWithPrefixIsAbsent", L"0x%IN% %OUT%", EMode::Message, EWhere::OutputPipe},
        SArgumentsCase{"InputZeroIsAbsent", L"0 %OUT%", EMode::Message, EWhere::OutputPipe},
        SArgumentsCase{"InputXyzIsAbsent", L"xyz %OUT%", EMode::Message, EWhere::OutputPipe},
        SArgumentsCase{"InputEmptyIsAbsent", L"\"\" %OUT%", EMode::Message, EWhere::OutputPipe},
        SArgumentsCase{"NoArguments", L"", EMode::Message, EWhere::StandardOutput}),
    [](const testing::TestParamInfo<SArgumentsCase>& info) { return std::string(info.param.name); });

TEST(MessageModeTest, RunsUntilQuitIsPostedToItsThread) {
    TestHost host;
    ASSERT_TRUE(host.StartWithArguments(L""));
    EXPECT_EQ(host.WaitFor(kBanner), kBanner);
    host.CloseInput();
    EXPECT_EQ(host.ReadAvailable(1000), "") << "no prompt, nothing read";
    EXPECT_TRUE(host.IsRunning());
    ASSERT_TRUE(host.PostQuit());
    EXPECT_EQ(host.WaitForExit(), 0);
    EXPECT_EQ(host.Rest(), "");
}

TEST(MessageModeTest, StandardOutputLeadingNowhereLosesTheBannerOnly) {
    TestHost host;
    host.SetStandardOutput(TestHost::EStandardOutput::None);
    ASSERT_TRUE(host.StartWithArguments(L""));
    EXPECT_TRUE(host.PostQuit());
    EXPECT_EQ(host.WaitForExit(), 0);
    EXPECT_EQ(host.Rest(), "");
}

// ---- request lines ------------------------------------------------------------------------

namespace {

struct SLineCase {
    const char* name;
    std::string sent;     // written with one write
    std::string request;  // as the scan shows it
    bool tooLong;
};

void PrintTo(const SLineCase& c, std::ostream* out) { *out << c.name; }

class RequestLineTest : public testing::TestWithParam<SLineCase> {};

std::string Repeat(char c, size_t count) { return std::string(count, c); }

}  // namespace

TEST_P(RequestLineTest, IsServedAndTheServerGoesOn) {
    const SLineCase& c = GetParam();
    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_EQ(host.ReadUntilPrompt(), kBanner);
    ASSERT_TRUE(host.Send(c.sent));
    std::string answer = host.ReadUntilPrompt();
    ASSERT_FALSE(host.timedOut());
    std::vector<std::string> lines = SplitLines(answer);
    if (c.tooLong) {
        EXPECT_EQ(answer.find("Scanning plugin"), std::string::npos) << "no scan for a refused line";
        EXPECT_EQ(lines.front(), "error:Request line is too long");
        ExpectFailedScanAnswer(answer, "Request line is too long");
    } else {
        std::string scanning = "info:Scanning plugin: '" + c.request + "'\n";
        EXPECT_EQ(answer.compare(0, scanning.size(), scanning), 0) << answer.substr(0, 200);
        ExpectFailedScanAnswer(answer);
    }
    // The next line is read from its own start.
    std::string next = host.Request("next.dll");
    EXPECT_EQ(SplitLines(next).front(), "info:Scanning plugin: 'next.dll'");
    ExpectFailedScanAnswer(next);
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
    EXPECT_EQ(host.Rest(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, RequestLineTest,
    testing::Values(
        SLineCase{"CarriageReturnStays", "C:\\Plugins\\Delay.dll\r\n", "C:\\Plugins\\Delay.dll\r", false},
        SLineCase{"EmptyLine", "\n", "", false},
        SLineCase{"OnlyGreaterThan", ">\n", ">", false},
        SLineCase{"ShellSuffixIsPartOfTheRequest", "a.dll>5a3B7c\n", "a.dll>5a3B7c", false},
        SLineCase{"SecondLineInTheSameWriteIsLost", "first.dll\nsecond.dll\n", "first.dll", false},
        SLineCase{"NulEndsTheRequest", std::string("ab\0cd\n", 6), "ab", false},
        SLineCase{"InvalidUtf8IsReplaced", "a\xFF" "b\n", "a\xEF\xBF\xBD" "b", false},
        SLineCase{"TruncatedUtf8IsReplaced", "a\xC3\n", "a\xEF\xBF\xBD", false},
        SLineCase{"Utf8PathSurvives", "C:\\Plug-ins\\caf\xC3\xA9 \xF0\x9F\x98\x80.dll\n",
                  "C:\\Plug-ins\\caf\xC3\xA9 \xF0\x9F\x98\x80.dll", false},
        SLineCase{"LineFillingOneReadWithItsLineFeed", Repeat('a', 1023) + "\n", Repeat('a', 1023), false},
        SLineCase{"LineOfExactly1024Bytes", Repeat('b', 1024) + "\n", Repeat('b', 1024), false},
        SLineCase{"LongPathIsServedWhole", "\\\\?\\C:\\" + Repeat('c', 40000) + "\n",
                  "\\\\?\\C:\\" + Repeat('c', 40000), false},
        SLineCase{"LongLineWithNulEndsAtTheNul", Repeat('d', 2000) + std::string(1, '\0') + Repeat('e', 10) + "\n",
                  Repeat('d', 2000), false},
        SLineCase{"LineAtTheBound", Repeat('f', 128 * 1024) + "\n", Repeat('f', 128 * 1024), false},
        SLineCase{"LineBeyondTheBound", Repeat('g', 128 * 1024 + 1) + "\n", "", true},
        SLineCase{"OneMebibyteLine", Repeat('h', 1024 * 1024) + "\n", "", true}),
    [](const testing::TestParamInfo<SLineCase>& info) { return std::string(info.param.name); });

TEST(RequestFramingTest, SecondLineOfOneWriteIsNeverServed) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_EQ(host.ReadUntilPrompt(), kBanner);
    ASSERT_TRUE(host.Send("first.dll\nsecond.dll\n"));
    std::string answer = host.ReadUntilPrompt();
    EXPECT_NE(answer.find("Scanning plugin: 'first.dll'"), std::string::npos);
    EXPECT_EQ(answer.find("second"), std::string::npos);
    EXPECT_EQ(host.ReadAvailable(1000), "") << "the server waits for the next request";
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
    EXPECT_EQ(host.Rest(), "");
}

TEST(RequestFramingTest, FullReadWaitsForTheRestOfTheLine) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_EQ(host.ReadUntilPrompt(), kBanner);
    ASSERT_TRUE(host.Send(Repeat('a', 1024)));
    EXPECT_EQ(host.ReadAvailable(1000), "") << "a read that fills the buffer is not yet a request";
    ASSERT_TRUE(host.Send("bcd\nlost\n"));
    std::string answer = host.ReadUntilPrompt();
    EXPECT_EQ(SplitLines(answer).front(), "info:Scanning plugin: '" + Repeat('a', 1024) + "bcd'");
    EXPECT_EQ(answer.find("lost"), std::string::npos);
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
}

TEST(RequestFramingTest, InputClosedInsideALongLineEndsAfterServingIt) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_EQ(host.ReadUntilPrompt(), kBanner);
    ASSERT_TRUE(host.Send(Repeat('a', 3000)));
    host.CloseInput();
    std::string answer = host.ReadUntilPrompt();
    EXPECT_EQ(SplitLines(answer).front(), "info:Scanning plugin: '" + Repeat('a', 3000) + "'");
    EXPECT_EQ(host.WaitForExit(), 0);
    EXPECT_EQ(host.Rest(), "");
}
