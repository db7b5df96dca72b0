// Plug-ins that misbehave, scanned through the real server: each ends with its documented
// outcome (a complete record, or exit code 9 with a minidump, or for the two that end or block
// the process themselves, what the host sees then), never with a wrong record.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/robust/robust_support.h"

namespace {

constexpr DWORD kGccThrow = 0x20474343;  // the code a C++ throw of this compiler raises

std::string Repeat(char c, size_t count) { return std::string(count, c); }

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    size_t count = 0;
    for (const std::string& each : lines) count += each == line;
    return count;
}

// Scans the well-behaved fixture: after a hostile one, the server still answers correctly.
void ExpectSoundScan(TestHost& host) {
    std::string answer = Ask(host, PluginPath(L"hostile-well-behaved"));
    ASSERT_FALSE(host.timedOut());
    SRecord record = CompleteRecord(answer);
    EXPECT_EQ(record.Member("error"), "");
    EXPECT_EQ(record.Member("name"), "Hostile Fixture");
    EXPECT_EQ(record.Member("vendor"), "Vendor");
    EXPECT_EQ(record.Member("product"), "Product");
    EXPECT_EQ(record.Member("id"), "48737431");
}

class HostilePluginTest : public testing::Test {
protected:
    void TearDown() override {
        if (!HasFailure()) ++Tally().faults;
    }
};

}  // namespace

TEST_F(HostilePluginTest, TextsWrittenFarPastTheBufferAreCutAt512Bytes) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    std::string answer = Ask(host, PluginPath(L"hostile-text-overrun"));
    ASSERT_FALSE(host.timedOut()) << host.Rest();
    SRecord record = CompleteRecord(answer);
    EXPECT_EQ(record.Member("error"), "");
    EXPECT_EQ(record.Member("name"), Repeat('H', 512));
    EXPECT_EQ(record.Member("vendor"), Repeat('V', 512));
    EXPECT_EQ(record.Member("product"), Repeat('P', 512));
    EXPECT_EQ(record.Member("category"), "10");
    using Shell = std::pair<std::string, std::string>;
    EXPECT_EQ(record.shells, (std::vector<Shell>{{"4F760001", Repeat('S', 512)}, {"4F760002", Repeat('T', 512)}}));
    std::vector<std::string> info = LinesAt(answer, "info");
    EXPECT_EQ(Count(info, "Found shell: 4F760001 - " + Repeat('S', 512)), 1u);
    // The bytes behind the 512 do not reach the next plug-in's texts.
    ExpectSoundScan(host);
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
}

TEST_F(HostilePluginTest, EndlessShellListIsCutOffWithOneWarning) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    std::string answer = Ask(host, PluginPath(L"hostile-shell-loops"), 120000);
    ASSERT_FALSE(host.timedOut()) << "the enumeration did not end";
    SRecord record = CompleteRecord(answer);
    EXPECT_EQ(record.Member("error"), "");
    using Shell = std::pair<std::string, std::string>;
    EXPECT_EQ(record.shells, (std::vector<Shell>{{"4C6F6F41", "Loop A"}, {"4C6F6F42", "Loop B"}, {"4C6F6F43", "Loop C"}}));
    EXPECT_EQ(LinesAt(answer, "warn").size(), 1u);
    std::vector<std::string> info = LinesAt(answer, "info");
    EXPECT_EQ(Count(info, "Found shell: 4C6F6F41 - Loop A") + Count(info, "Found shell: 4C6F6F42 - Loop B") +
                  Count(info, "Found shell: 4C6F6F43 - Loop C"),
              100000u);
    EXPECT_EQ(Count(info, "   - duplicate, ignoring"), 100000u - 3);
    ExpectSoundScan(host);
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
}

TEST_F(HostilePluginTest, HostCallsFromPluginThreadsGetTheProbesAnswersAndWholeLines) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    std::string answer = Ask(host, PluginPath(L"hostile-threads") + L">5A3B7C00");
    ASSERT_FALSE(host.timedOut()) << host.Rest();
    SRecord record = CompleteRecord(answer);
    EXPECT_EQ(record.Member("error"), "");
    EXPECT_EQ(record.Member("id"), "5A3B7C00");
    EXPECT_EQ(record.Member("name"), "Threaded");
    EXPECT_EQ(record.Member("product"), "0 wrong answers of 5000");
    // Four threads of 250 rounds, each a line per call, and the entry point's own two calls:
    // no line is lost, split or merged with another.
    std::vector<std::string> lines = SplitLines(answer);
    EXPECT_EQ(Count(lines, "info:Audio master callback: 1 - audioMasterVersion"), 1001u);
    EXPECT_EQ(Count(lines, "info:Audio master callback: 2 - audioMasterCurrentId"), 1001u);
    EXPECT_EQ(Count(lines, "info:Audio master callback: 32 - audioMasterGetVendorString"), 1000u);
    EXPECT_EQ(Count(lines, "info:Query host can do: 'shellCategory'"), 1000u);
    EXPECT_EQ(Count(lines, "info:Audio master callback: 5 - <unknown>"), 1000u);
    EXPECT_EQ(Count(lines, "warn:Unhandled audioMaster opCode - 5"), 1000u);
    ExpectSoundScan(host);
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
}

// The fixture reports the error mode it finds, then clears it: the next plug-in finds the
// server's mode again.
TEST_F(HostilePluginTest, ErrorModeClearedByAPluginIsRestoredForTheNext) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    for (int scan = 0; scan < 2; ++scan) {
        SCOPED_TRACE(scan);
        std::string answer = Ask(host, PluginPath(L"hostile-error-mode"));
        ASSERT_FALSE(host.timedOut()) << host.Rest();
        EXPECT_EQ(CompleteRecord(answer).Member("name"), "error mode 8001");
    }
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
}

TEST_F(HostilePluginTest, OwnFilterInstalledInOneQueryDoesNotHideAFaultInTheNext) {
    ScratchFolder dumps(L"dumps");
    ASSERT_TRUE(dumps.valid());
    TestHost host;
    ASSERT_TRUE(host.Start(dumps.path()));
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    std::string answer = Ask(host, PluginPath(L"hostile-filter-in-query"));
    ExpectCrashWithDump(host, answer, dumps.path(), EXCEPTION_ACCESS_VIOLATION);
}

TEST_F(HostilePluginTest, StackOverflowEndsWithExitCode9AndADump) {
    ScratchFolder dumps(L"dumps");
    ASSERT_TRUE(dumps.valid());
    TestHost host;
    ASSERT_TRUE(host.Start(dumps.path()));
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    std::string answer = Ask(host, PluginPath(L"hostile-stack-overflow"));
    ExpectCrashWithDump(host, answer, dumps.path(), EXCEPTION_STACK_OVERFLOW);
}

TEST_F(HostilePluginTest, CxxExceptionOutOfAQueryEndsWithExitCode9AndADump) {
    ScratchFolder dumps(L"dumps");
    ASSERT_TRUE(dumps.valid());
    TestHost host;
    ASSERT_TRUE(host.Start(dumps.path()));
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    std::string answer = Ask(host, PluginPath(L"hostile-throw-in-query"));
    ExpectCrashWithDump(host, answer, dumps.path(), kGccThrow);
}

TEST_F(HostilePluginTest, CxxExceptionOutOfEffCloseIsAbsorbed) {
    ScratchFolder dumps(L"dumps");
    ASSERT_TRUE(dumps.valid());
    TestHost host;
    ASSERT_TRUE(host.Start(dumps.path()));
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    std::string answer = Ask(host, PluginPath(L"hostile-throw-in-close"));
    ASSERT_FALSE(host.timedOut()) << host.Rest();
    SRecord record = CompleteRecord(answer);
    EXPECT_EQ(record.Member("error"), "");
    EXPECT_EQ(record.Member("name"), "Hostile Fixture");
    ExpectSoundScan(host);
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
}

// A plug-in that ends the process itself leaves no record: the answer stops without one and
// without a prompt, and the exit code is the plug-in's. The host reads that as a crash.
TEST_F(HostilePluginTest, PluginEndingTheProcessLeavesNoRecord) {
    struct SCase {
        const wchar_t* plugin;
        int exitCode;
    };
    for (const SCase& c : {SCase{L"hostile-exit-process", 57}, SCase{L"hostile-terminate-process", 58}}) {
        SCOPED_TRACE(Utf8(c.plugin));
        ScratchFolder dumps(L"dumps");
        ASSERT_TRUE(dumps.valid());
        TestHost host;
        ASSERT_TRUE(host.Start(dumps.path()));
        ASSERT_FALSE(host.ReadUntilPrompt().empty());
        std::string answer = Ask(host, PluginPath(c.plugin));
        EXPECT_TRUE(host.timedOut());
        EXPECT_EQ(host.WaitForExit(), c.exitCode);
        std::string all = answer + host.Rest();
        EXPECT_NE(all.find("info:Calling entry point...\n"), std::string::npos) << all;
        EXPECT_EQ(all.find(">:{"), std::string::npos) << all;
        EXPECT_EQ(all.find("ready:"), std::string::npos) << all;
        EXPECT_TRUE(FilesIn(dumps.path()).empty()) << "no dump: nothing crashed";
    }
}

// A plug-in that waits for a click never comes back; only the host's timeout ends the wait.
// The host then ends the server and starts a new one for the next plug-in.
TEST_F(HostilePluginTest, MessageBoxBlocksUntilTheHostGivesUp) {
    {
        TestHost host;
        ASSERT_TRUE(host.Start());
        ASSERT_FALSE(host.ReadUntilPrompt().empty());
        std::string answer = Ask(host, PluginPath(L"hostile-message-box"), 5000);
        EXPECT_TRUE(host.timedOut());
        EXPECT_TRUE(host.IsRunning());
        EXPECT_EQ(host.WaitForExit(0), -1) << "the host ends it";
        std::string all = answer + host.Rest();
        EXPECT_NE(all.find("info:Calling entry point...\n"), std::string::npos) << all;
        EXPECT_EQ(all.find(">:{"), std::string::npos) << all;
    }
    TestHost next;
    ASSERT_TRUE(next.Start());
    ASSERT_FALSE(next.ReadUntilPrompt().empty());
    ExpectSoundScan(next);
    next.CloseInput();
    EXPECT_EQ(next.WaitForExit(), 0);
}
