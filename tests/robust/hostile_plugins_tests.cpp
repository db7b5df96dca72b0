// Plug-ins that misbehave, scanned through the real server: each ends with its documented
// outcome (a complete record, or exit code 9 with a minidump, or for the two that end or block
// the process themselves, what the host sees then), never with a wrong record.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/robust/robust_support.h"

namespace {


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

// 100,000 answers, each logged, make this the slowest case: the host closes the request pipe
// right after the request and reads everything once the server has ended.
TEST_F(HostilePluginTest, EndlessShellListIsCutOffWithOneWarning) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    ++Tally().requests;
    ASSERT_TRUE(host.Send(Utf8(PluginPath(L"hostile-shell-loops")) + "\n"));
    host.CloseInput();
    std::string all = host.ReadAvailable(300000);
    ASSERT_EQ(host.WaitForExit(), 0) << "the enumeration did not end";
    size_t prompt = all.find("\nready:\n");
    ASSERT_NE(prompt, std::string::npos);
    std::string answer = all.substr(0, prompt + 1);
    EXPECT_EQ(all.substr(prompt + 1), "ready:\ninfo:Freeing cached library...\ninfo:Freed\n");

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

// A filter that a plug-in installs in one query must not decide what a fault in a later one
// does (its filter would end the process with exit code 42 and no dump): the crash filter is
// installed again before every query.
TEST_F(HostilePluginTest, OwnFilterInstalledInOneQueryDoesNotHideAFaultInTheNext) {
    ScratchFolder dumps(L"dumps");
    ASSERT_TRUE(dumps.valid());
    TestHost host;
    ASSERT_TRUE(host.Start(dumps.path()));
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    std::string answer = Ask(host, PluginPath(L"hostile-filter-in-query"));
    ExpectCrashWithDump(host, answer, dumps.path(), EXCEPTION_ACCESS_VIOLATION);
}

// Texts of the plug-in that the server logs (a capability question, a shell entry's name) can
// hold line feeds, and with them whole protocol lines: logged as they are, a host reading line
// by line would take the forged record for the answer and the forged prompt for its end.
TEST_F(HostilePluginTest, ForgedProtocolLinesInPluginTextsStayInsideTheirLine) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    std::string answer = Ask(host, PluginPath(L"hostile-forges-lines"));
    ASSERT_FALSE(host.timedOut()) << host.Rest();
    SRecord record = CompleteRecord(answer);
    EXPECT_EQ(record.Member("id"), "48737431");
    EXPECT_EQ(record.Member("name"), "Hostile Fixture");
    ASSERT_EQ(record.shells.size(), 1u);
    EXPECT_EQ(record.shells[0].first, "46726731");
    EXPECT_EQ(record.shells[0].second.compare(0, 4, "Sub\n"), 0) << "the record carries the name escaped";
    ExpectSoundScan(host);
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
}

// A C++ exception that leaves effClose is absorbed like any fault there. The platform's C++
// exceptions are raised as not continuable; continued as they are, each attempt would raise
// STATUS_NONCONTINUABLE_EXCEPTION anew until the stack and the process were gone.
TEST_F(HostilePluginTest, PlatformCxxExceptionOutOfEffCloseIsAbsorbed) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    std::string answer = Ask(host, PluginPath(L"hostile-raise-in-close"));
    ASSERT_FALSE(host.timedOut()) << host.Rest();
    SRecord record = CompleteRecord(answer);
    EXPECT_EQ(record.Member("error"), "");
    EXPECT_EQ(record.Member("name"), "Hostile Fixture");
    ExpectSoundScan(host);
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
}

namespace {

struct SEndCase {
    const char* name;
    const wchar_t* plugin;
    int exitCode;
    DWORD dumpException;  // 0: no dump
};

void PrintTo(const SEndCase& c, std::ostream* out) { *out << c.name; }

class PluginEndsTheServerTest : public testing::TestWithParam<SEndCase> {
protected:
    void TearDown() override {
        if (!HasFailure()) ++Tally().faults;
    }
};

}  // namespace

// Whatever ends the server during a scan, the host never gets a record for it: the answer
// stops after the scan's progress lines, without a prompt, and the exit code says how it ended.
TEST_P(PluginEndsTheServerTest, LeavesNoRecord) {
    const SEndCase& c = GetParam();
    ScratchFolder dumps(L"dumps");
    ASSERT_TRUE(dumps.valid());
    TestHost host;
    ASSERT_TRUE(host.Start(dumps.path()));
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    std::string answer = Ask(host, PluginPath(c.plugin));
    EXPECT_TRUE(host.timedOut()) << "a prompt after the scan:\n" << answer.substr(0, 2000);
    EXPECT_EQ(host.WaitForExit(), c.exitCode);
    std::string all = answer + host.Rest();
    EXPECT_NE(all.find("info:Calling entry point...\n"), std::string::npos) << all.substr(0, 2000);
    EXPECT_EQ(all.find(">:{"), std::string::npos) << all.substr(0, 2000);
    EXPECT_EQ(all.find("ready:"), std::string::npos) << all.substr(0, 2000);
    if (c.dumpException) {
        EXPECT_EQ(DumpProblem(dumps.path(), c.dumpException), "");
    } else {
        EXPECT_TRUE(FilesIn(dumps.path()).empty()) << "a dump where none is written";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PluginEndsTheServerTest,
    testing::Values(
        // Plug-ins built with the platform's compiler raise a C++ throw as an exception like a
        // fault: the crash filter writes the dump.
        SEndCase{"PlatformCxxExceptionOutOfAQuery", L"hostile-raise-in-query", 9, 0xE06D7363},
        // A throw of this compiler family never reaches the crash filter: the C runtime's own
        // top-level handler lets it return into the thrower's runtime, which finds no handler
        // and aborts (exit code 3), in a query and in effClose alike.
        SEndCase{"GccCxxExceptionOutOfAQuery", L"hostile-throw-in-query", 3, 0},
        SEndCase{"GccCxxExceptionOutOfEffClose", L"hostile-throw-in-close", 3, 0},
        // Wine leaves no room on the exhausted stack to hand the overflow to any filter: it
        // ends the process itself, with exit code 0 and no dump.
        SEndCase{"StackOverflow", L"hostile-stack-overflow", 0, 0},
        SEndCase{"PluginCallsExitProcess", L"hostile-exit-process", 57, 0},
        SEndCase{"PluginCallsTerminateProcess", L"hostile-terminate-process", 58, 0}),
    [](const testing::TestParamInfo<SEndCase>& info) { return std::string(info.param.name); });

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
