// Seeded random request lines against one server: every line is answered with its record and
// the next prompt, and the server's memory stays flat. ROBUST_SEED and ROBUST_REQUESTS choose
// another run (bench/soak.sh runs 100,000).
#include <windows.h>

#include <psapi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/robust/robust_support.h"

namespace {

constexpr size_t kReadSize = 1024;             // the server's read buffer
constexpr size_t kMaxRequestBytes = 128 * 1024;  // longer lines are refused
constexpr unsigned long kDefaultSeed = 20240307;
constexpr long kDefaultRequests = 10000;

unsigned long EnvironmentNumber(const char* name, unsigned long fallback) {
    const char* text = getenv(name);
    return text && *text ? strtoul(text, nullptr, 0) : fallback;
}

// Makes request lines of every hostile kind from one seed. Every line is one write that the
// server reads as exactly one request: a write of 1024 bytes or more has its only line feed
// at its end (the server reads on to it), a shorter one may hold several or none.
class CLineMaker {
public:
    explicit CLineMaker(unsigned long seed) : m_random(seed) {}

    std::string Make() {
        uint32_t kind = Below(100);
        if (kind < 18) return Short(RandomBytes(Below(200)));
        if (kind < 33) return Short(BrokenUtf8());
        if (kind < 43) return LineFeeds();
        if (kind < 58) return Short(Arrows());
        if (kind < 68) return Short(HexRun());
        if (kind < 78) return Short(WithNuls());
        if (kind < 90) return Short(PathLike());
        if (kind < 98) return Long(1000 + Below(20000));
        return Long(AroundTheBound());
    }

private:
    uint32_t Below(uint32_t bound) { return m_random() % bound; }
    char Byte() { return static_cast<char>(Below(256)); }
    char ByteButLineFeed() {
        char c;
        do c = Byte();
        while (c == '\n');
        return c;
    }

    // A short line: its text, possibly cut to stay below one read, and its line feed.
    std::string Short(std::string text) {
        if (text.size() > kReadSize - 2) text.resize(kReadSize - 2);
        return text + "\n";
    }

    std::string RandomBytes(size_t count) {
        std::string text;
        for (size_t i = 0; i < count; ++i) text += ByteButLineFeed();
        return text;
    }

    // Valid sequences mixed with stray continuation bytes, cut sequences, overlong forms,
    // encoded surrogates and bytes that UTF-8 never uses.
    std::string BrokenUtf8() {
        static const char* const kPieces[] = {
            "a", "Plug", "\\", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\x80", "\xBF", "\xC3", "\xE2\x82",
            "\xF0\x9F\x98", "\xC0\x80", "\xE0\x80\xAF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80",
            "\xFE", "\xFF", "\xEF\xBB\xBF", ".dll", ">", "\xEF\xBF\xBD"};
        std::string text;
        for (uint32_t count = Below(60); count > 0; --count) text += kPieces[Below(sizeof kPieces / sizeof kPieces[0])];
        return text;
    }

    // Carriage returns and line feeds in every order; the first line feed ends the request and
    // the rest of the write is dropped. Some writes carry no line feed at all.
    std::string LineFeeds() {
        static const char* const kPieces[] = {"\r", "\n", "\r\n", "\n\r", "\n\n", "\r\r", "a.dll", "C:\\x", " ", ">1"};
        std::string text;
        for (uint32_t count = 1 + Below(12); count > 0; --count) text += kPieces[Below(sizeof kPieces / sizeof kPieces[0])];
        if (Below(2)) text += "\n";
        return text;
    }

    // '>' at the start, the end, twice, between anything, with and without digits after it.
    std::string Arrows() {
        static const char* const kPieces[] = {">", ">>", "a.dll", "C:\\Plugins\\b.dll", "5a3B7c", "123456789", "x12",
                                              " ", "\xC3\xA9", "", "zz", "FFFFFFFF"};
        std::string text;
        for (uint32_t count = 1 + Below(8); count > 0; --count) text += kPieces[Below(sizeof kPieces / sizeof kPieces[0])];
        return text;
    }

    std::string HexRun() {
        static const char kDigits[] = "0123456789abcdefABCDEF";
        std::string digits;
        for (uint32_t count = 1 + Below(900); count > 0; --count) digits += kDigits[Below(22)];
        switch (Below(3)) {
            case 0: return "a.dll>" + digits;
            case 1: return digits;
            default: return digits + ">" + digits.substr(0, Below(static_cast<uint32_t>(digits.size())) + 1);
        }
    }

    std::string WithNuls() {
        std::string text = RandomBytes(Below(100));
        for (uint32_t count = 1 + Below(4); count > 0; --count) text.insert(Below(static_cast<uint32_t>(text.size()) + 1), 1, '\0');
        return text;
    }

    std::string PathLike() {
        static const char* const kPieces[] = {"C:", "\\", "/", "..", ".", "Plug-ins", "\\\\?\\", "\\\\.\\", "Z:",
                                              "a.dll", "b.DLL", " ", "*", "?", ":", "\"", "|", "<", "\t"};
        std::string text;
        for (uint32_t count = 1 + Below(10); count > 0; --count) text += kPieces[Below(sizeof kPieces / sizeof kPieces[0])];
        return text;
    }

    size_t AroundTheBound() {
        switch (Below(6)) {
            case 0: return kMaxRequestBytes - 1;
            case 1: return kMaxRequestBytes;
            case 2: return kMaxRequestBytes + 1;
            case 3: return kMaxRequestBytes - Below(4096);
            case 4: return kMaxRequestBytes + Below(65536);
            default: return Below(8) == 0 ? 1024 * 1024 : kReadSize * (1 + Below(4));
        }
    }

    // A line of the given length without a line feed inside: path-like text with an
    // occasional NUL, CR or '>'.
    std::string Long(size_t length) {
        std::string text(length, 'a');
        for (size_t i = 0; i < length; ++i) {
            uint32_t pick = Below(1000);
            text[i] = pick == 0 ? '\0' : pick == 1 ? '\r' : pick == 2 ? '>' : static_cast<char>('a' + pick % 26);
        }
        return text + "\n";
    }

    std::mt19937 m_random;
};

// What the server makes of one write: the request it scans, or a refusal of a line that is too
// long.
struct SExpected {
    bool tooLong = false;
    std::string echo;  // the request as the "Scanning plugin" line shows it
};

std::string RoundTrip(const std::string& request) {
    // The server converts with the platform converter and back; doing the same here gives the
    // replacement characters it shows for broken sequences.
    int units = MultiByteToWideChar(CP_UTF8, 0, request.c_str(), -1, nullptr, 0);
    std::wstring wide(units, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, request.c_str(), -1, &wide[0], units);
    wide.resize(wcslen(wide.c_str()));
    return Utf8(wide);
}

SExpected Expect(const std::string& write) {
    SExpected expected;
    size_t lineFeed = write.find('\n');
    std::string line = write.substr(0, lineFeed);
    if (line.size() > kMaxRequestBytes) {
        expected.tooLong = true;
        return expected;
    }
    expected.echo = RoundTrip(line.substr(0, line.find('\0')));
    return expected;
}

std::string Printable(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < 160; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        char escaped[8];
        snprintf(escaped, sizeof escaped, c >= 32 && c < 127 && c != '\\' ? "%c" : "\\x%02X", c);
        out += escaped;
    }
    if (bytes.size() > 160) out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

// The server's private committed bytes, or 0 when they cannot be read. Wine leaves
// PrivateUsage at 0 and reports the same commit charge as PagefileUsage, which Windows fills
// with the same value.
SIZE_T PrivateBytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!K32GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
        return 0;
    return counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
}

}  // namespace

TEST(HostileRequestsTest, EveryLineIsAnsweredWithItsRecordAndMemoryStaysFlat) {
    const unsigned long seed = EnvironmentNumber("ROBUST_SEED", kDefaultSeed);
    const long requests = static_cast<long>(EnvironmentNumber("ROBUST_REQUESTS", kDefaultRequests));
    // Memory is compared from the end of the warm-up on, sampled at intervals.
    const long warmUp = requests / 10;
    const long interval = requests / 40 > 0 ? requests / 40 : 1;
    // Generous: a leak of a few dozen bytes per request over the run shows; allocator noise does
    // not.
    const SIZE_T allowedGrowth = 4 * 1024 * 1024;
    printf("seed %lu, %ld requests\n", seed, requests);

    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_FALSE(host.ReadUntilPrompt().empty());

    CLineMaker maker(seed);
    ULONGLONG started = GetTickCount64();
    std::map<std::string, long> outcomes;  // error text (cut at its code) -> count
    SIZE_T baseline = 0, highest = 0;
    int failures = 0;
    for (long index = 0; index < requests && failures < 5; ++index) {
        std::string write = maker.Make();
        SExpected expected = Expect(write);
        ++Tally().requests;
        ASSERT_TRUE(host.Send(write)) << "request " << index << " could not be written; the server is gone";
        std::string answer = host.ReadUntilPrompt();
        ASSERT_FALSE(host.timedOut()) << "request " << index << " got no prompt: " << Printable(write) << "\n"
                                      << "running: " << host.IsRunning() << ", exit code " << host.WaitForExit(1000)
                                      << "\n" << host.Rest().substr(0, 2000);

        std::string problem = AnswerProblem(answer);
        std::string first = SplitLines(answer).empty() ? "" : SplitLines(answer).front();
        if (problem.empty()) {
            std::string want = expected.tooLong ? "error:Request line is too long"
                                                : "info:Scanning plugin: '" + expected.echo + "'";
            if (first != want) problem = "first line differs; expected " + Printable(want) + ", got " + Printable(first);
        }
        if (!problem.empty()) {
            ++failures;
            ADD_FAILURE() << "request " << index << " (" << Printable(write) << "): " << problem << "\n"
                          << answer.substr(0, 2000);
        }
        outcomes[ParseRecord(answer).Member("error")]++;

        if ((index + 1) % interval == 0 || index + 1 == requests) {
            SIZE_T bytes = PrivateBytes(host.process());
            ASSERT_GT(bytes, 0u) << "the server's private bytes cannot be read";
            if (index + 1 == warmUp || (warmUp == 0 && baseline == 0)) baseline = bytes;
            if (index + 1 > warmUp && bytes > highest) highest = bytes;
        }
    }

    printf("%ld requests in %.1f s\n", requests, (GetTickCount64() - started) / 1000.0);
    printf("outcomes:\n");
    for (const auto& outcome : outcomes) printf("  %7ld  %s\n", outcome.second, outcome.first.empty() ? "(scanned)" : outcome.first.c_str());
    printf("private bytes after the warm-up %.1f MiB, highest after it %.1f MiB\n", baseline / 1048576.0,
           highest / 1048576.0);
    EXPECT_LE(highest, baseline + allowedGrowth) << "the server's memory grows with the requests";

    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
}

// A broken sequence right before the end of the line: this bench's converter takes the
// terminator into the broken sequence and writes none, and the request must still end where
// the line does.
TEST(HostileRequestsTest, BrokenSequenceAtTheEndIsNotReadPast) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    for (const std::string& line : std::vector<std::string>{"a\xF0&", "a\xF0", "\xF1\x85\xF0&", "C:\\x\xF0\x80", std::string(600, 'z') + "\xF0&"}) {
        SCOPED_TRACE(Printable(line));
        std::string answer = Ask(host, line);
        ASSERT_FALSE(host.timedOut());
        EXPECT_EQ(AnswerProblem(answer), "");
        EXPECT_EQ(SplitLines(answer).front(), "info:Scanning plugin: '" + RoundTrip(line) + "'");
    }
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
}
