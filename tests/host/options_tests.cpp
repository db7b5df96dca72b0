#include <gtest/gtest.h>

#include "host/options.h"

using namespace ScanHost;

TEST(OptionsTest, ReadsEveryOptionInBothSpellings) {
    Options o = ParseOptions({L"--db", L"my.json", L"-j", L"3", L"--timeout=2.5", L"--rescan", L"--retry",
                              L"--servers", L"C:\\servers", L"--dumps=D:\\dumps", L"--max-requests", L"1", L"--json",
                              L"-q", L"C:\\Plugins", L"one.dll", L"--", L"--odd-name.dll"});
    EXPECT_EQ(o.database, L"my.json");
    EXPECT_EQ(o.jobs, 3u);
    EXPECT_EQ(o.timeoutMs, 2500u);
    EXPECT_TRUE(o.rescan);
    EXPECT_TRUE(o.retry);
    EXPECT_EQ(o.serverFolder, L"C:\\servers");
    EXPECT_EQ(o.dumpFolder, L"D:\\dumps");
    EXPECT_EQ(o.maxRequests, 1u);
    EXPECT_TRUE(o.json);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.paths, (std::vector<std::wstring>{L"C:\\Plugins", L"one.dll", L"--odd-name.dll"}));
}

TEST(OptionsTest, DefaultsAndTimeouts) {
    Options o = ParseOptions({L"C:\\Plugins"});
    EXPECT_EQ(o.database, L"scanhost-db.json");
    EXPECT_EQ(o.jobs, 0u);  // one per processor
    EXPECT_EQ(o.timeoutMs, 30000u);
    EXPECT_FALSE(o.rescan || o.retry || o.json || o.quiet || o.help);
    EXPECT_EQ(ParseOptions({L"--timeout", L"0", L"x"}).timeoutMs, 0u);  // no limit
    EXPECT_EQ(ParseOptions({L"--timeout", L"0.0001", L"x"}).timeoutMs, 1u);
    EXPECT_TRUE(ParseOptions({L"--help"}).help);
}

TEST(OptionsTest, BadCommandLinesSayWhatIsWrong) {
    const std::pair<std::vector<std::wstring>, const char*> cases[] = {
        {{}, "no PATH given"},
        {{L"--jobs", L"0", L"x"}, "--jobs needs at least 1"},
        {{L"-j", L"two", L"x"}, "-j needs a whole number"},
        {{L"-j", L"-1", L"x"}, "-j needs a whole number"},
        {{L"--timeout", L"-1", L"x"}, "--timeout needs seconds"},
        {{L"--timeout", L"nan", L"x"}, "--timeout needs seconds"},
        {{L"--timeout", L"5s", L"x"}, "--timeout needs seconds"},
        {{L"x", L"--db"}, "--db needs a value"},
        {{L"--db=", L"x"}, "--db needs a file name"},
        {{L"--rescan=yes", L"x"}, "--rescan takes no value"},
        {{L"--frobnicate", L"x"}, "unknown option --frobnicate"},
    };
    for (const auto& [arguments, message] : cases) {
        SCOPED_TRACE(message);
        try {
            ParseOptions(arguments);
            ADD_FAILURE() << "no error";
        } catch (const UsageError& error) {
            EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
        }
    }
}
