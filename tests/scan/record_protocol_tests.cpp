#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "simple/platform.h"
#include "tests/support/test_host.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

// A request that cannot be scanned is still answered with the whole record: the reason at level
// "error", then every member at level ">", the error filled in and the rest initial.
TEST(RecordProtocolTest, FailedRequestIsAnsweredWithCompleteRecord) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    host.ReadUntilPrompt();
    std::vector<std::string> lines = Lines(host.Request("Z:\\no such folder\\missing.dll"));
    ASSERT_FALSE(host.timedOut());
    ASSERT_GE(lines.size(), 17u);
    std::vector<std::string> record(lines.end() - 16, lines.end());

    const std::string errorPrefix = ">:  \"error\":     \"";
    ASSERT_EQ(record[6].compare(0, errorPrefix.size(), errorPrefix), 0) << record[6];
    EXPECT_GT(record[6].size(), errorPrefix.size() + 2) << "the reason is filled in";
    EXPECT_EQ(lines[lines.size() - 17].compare(0, 6, "error:"), 0) << lines[lines.size() - 17];
    record[6] = "(error)";
    EXPECT_EQ(record, (std::vector<std::string>{
                          ">:{",
                          ">:  \"id\":        \"00000000\",",
                          ">:  \"name\":      \"\",",
                          ">:  \"vendor\":    \"\",",
                          ">:  \"product\":   \"\",",
                          ">:  \"version\":   \"\",",
                          "(error)",
                          ">:  \"numInputs\": 0,",
                          ">:  \"numOutputs\":0,",
                          ">:  \"wantsMidi\":  false,",
                          ">:  \"sendsMidi\": false,",
                          ">:  \"platform\":  \"" SCAN_PLATFORM_NARROW "\",",
                          ">:  \"audio64\":   false,",
                          ">:  \"category\":  -1,",
                          ">:  \"synthEdit\": false,",
                          ">:}",
                      }));
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
}

}  // namespace
