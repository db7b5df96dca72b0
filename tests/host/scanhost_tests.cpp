// scanhost.exe as a user runs it, against the stand-in server: exit codes, --json, a second
// scanhost on the same database, and a scanhost ended mid-scan.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "host/journal.h"
#include "host/utf.h"
#include "tests/host/host_test_support.h"

using namespace ScanHost;
using Json = nlohmann::json;

namespace {

class ScanHostTest : public ::testing::Test {
protected:
    std::vector<std::wstring> Arguments(std::vector<std::wstring> extra) const {
        std::vector<std::wstring> arguments = {L"--db", m_database, L"--servers", FakeServerFolder(), L"--dumps",
                                               m_folder / L"dumps"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        arguments.push_back(m_plugins);
        return arguments;
    }
    std::string Key(const std::wstring& name) const { return ToUtf8(m_plugins + L"\\" + name); }
    std::vector<std::string> ServerLog() const { return ReadLines(m_folder / L"dumps\\fake-requests.log"); }
    size_t CountRequests(const std::string& request) const {
        size_t count = 0;
        for (const std::string& line : ServerLog()) count += line.substr(line.find(' ') + 1) == request;
        return count;
    }

    TempFolder m_folder;
    std::wstring m_plugins = m_folder / L"plugins";
    std::wstring m_database = m_folder / L"db.json";
};

}  // namespace

TEST_F(ScanHostTest, HelpAndCommandLineErrorsHaveTheirExitCodes) {
    RunResult help = RunScanHost({L"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage: scanhost [options] PATH...\n", 0), 0u);
    EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);

    RunResult none = RunScanHost({});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_EQ(none.err, "scanhost: no PATH given\nTry 'scanhost --help'.\n");

    RunResult missing = RunScanHost(Arguments({L"--rescan", m_folder / L"nothing-here"}));
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("cannot find"), std::string::npos) << missing.err;
    EXPECT_FALSE(Exists(m_database));
}

TEST_F(ScanHostTest, JsonResultsAndExitCodeFollowThePluginStatuses) {
    WriteFakeModule(m_plugins + L"\\a.dll", "ok A");
    WriteFakeModule(m_plugins + L"\\shell.dll", "shell 00000001=One 00000002=Two");
    WriteFakeModule(m_plugins + L"\\arm.dll", "ok Arm", kMachineArm64);

    RunResult first = RunScanHost(Arguments({L"--json"}));
    ASSERT_EQ(first.exitCode, 0) << first.err;
    Json json = Json::parse(first.out);
    EXPECT_EQ(json["plugins"].size(), 5u);
    EXPECT_EQ(json["plugins"][Key(L"a.dll")]["name"], "A");
    EXPECT_EQ(json["plugins"][Key(L"shell.dll") + ">00000002"]["name"], "Two");
    EXPECT_EQ(json["plugins"][Key(L"arm.dll")]["status"], "skipped");
    EXPECT_EQ(json["summary"]["ok"], 4);
    EXPECT_EQ(json["summary"]["skipped"], 1);
    EXPECT_GE(json["run"]["serversStarted"], 1);
    // The summary goes to standard error with --json, so standard output is JSON alone.
    EXPECT_NE(first.err.find("status     plug-ins"), std::string::npos);
    // The database holds the same entries.
    EXPECT_EQ(Json::parse(ReadBytes(m_database))["plugins"], json["plugins"]);

    RunResult second = RunScanHost(Arguments({L"--json", L"-q"}));
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.err, "");
    Json again = Json::parse(second.out);
    EXPECT_EQ(again["run"]["serversStarted"], 0);
    EXPECT_EQ(again["run"]["unchanged"], 3);
    EXPECT_EQ(again["plugins"], json["plugins"]);

    WriteFakeModule(m_plugins + L"\\b.dll", "fail No thanks");
    RunResult failing = RunScanHost(Arguments({}));
    EXPECT_EQ(failing.exitCode, 1);
    EXPECT_NE(failing.out.find("failed    " + Key(L"b.dll") + "\n          No thanks\n"), std::string::npos) << failing.out;
}

TEST_F(ScanHostTest, UnreadableDatabaseIsLeftAloneWithExitCode3) {
    WriteFakeModule(m_plugins + L"\\a.dll", "ok A");
    WriteBytes(m_database, "{\"format\": 1, \"plugins\": {},}");
    RunResult run = RunScanHost(Arguments({}));
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("is not valid JSON"), std::string::npos) << run.err;
    EXPECT_EQ(ReadBytes(m_database), "{\"format\": 1, \"plugins\": {},}");
    EXPECT_TRUE(ServerLog().empty());
}

TEST_F(ScanHostTest, ScanhostEndedMidScanMarksThePluginInFlightNextTime) {
    WriteFakeModule(m_plugins + L"\\a.dll", "ok A");
    WriteFakeModule(m_plugins + L"\\b-hang.dll", "hang");
    WriteFakeModule(m_plugins + L"\\c.dll", "ok C");

    // No timeout: the run stays on b-hang.dll until it is ended.
    ChildProcess first;
    ASSERT_TRUE(first.Start(ScanHostPath(), Arguments({L"-j", L"1", L"--timeout", L"0"})));
    std::wstring journal = m_database + L".journal";
    bool inFlight = false;
    for (int i = 0; i < 400 && !inFlight; ++i) {
        std::string text = ReadBytes(journal);
        inFlight = text.find("\"inFlight\"") != std::string::npos && text.find("b-hang.dll") != std::string::npos;
        if (!inFlight) Sleep(50);
    }
    ASSERT_TRUE(inFlight) << ReadBytes(journal);
    // A scan server is at work on it: find it by its request.
    DWORD serverPid = 0;
    for (int i = 0; i < 400 && !serverPid; ++i) {
        for (const std::string& line : ServerLog())
            if (line.find("b-hang.dll") != std::string::npos) serverPid = std::stoul(line.substr(0, line.find(' ')));
        if (!serverPid) Sleep(50);
    }
    ASSERT_NE(serverPid, 0u);

    // Meanwhile a second scanhost on the same database is refused.
    RunResult second = RunScanHost(Arguments({}));
    EXPECT_EQ(second.exitCode, 3);
    EXPECT_NE(second.err.find("in use by another scanhost"), std::string::npos) << second.err;

    first.Kill();
    // Its servers go with it.
    HANDLE server = OpenProcess(SYNCHRONIZE, FALSE, serverPid);
    if (server) {
        EXPECT_EQ(WaitForSingleObject(server, 10000), WAIT_OBJECT_0) << "the scan server outlived scanhost";
        CloseHandle(server);
    }

    RunResult next = RunScanHost(Arguments({L"--json", L"--timeout", L"2"}));
    EXPECT_EQ(next.exitCode, 1);
    Json json = Json::parse(next.out);
    EXPECT_EQ(json["run"]["interrupted"], 1);
    EXPECT_EQ(json["plugins"][Key(L"b-hang.dll")]["status"], "crashed");
    EXPECT_EQ(json["plugins"][Key(L"b-hang.dll")]["error"], kInterruptedError);
    EXPECT_EQ(json["plugins"][Key(L"a.dll")]["status"], "ok");
    EXPECT_EQ(json["plugins"][Key(L"c.dll")]["status"], "ok");
    EXPECT_NE(next.err.find("were being scanned when scanhost was last ended"), std::string::npos);
    // Not scanned again, and a.dll's result from the ended run was kept.
    EXPECT_EQ(CountRequests(Key(L"b-hang.dll")), 1u);
    EXPECT_EQ(CountRequests(Key(L"a.dll")), 1u);
    EXPECT_FALSE(Exists(journal));

    // Asked to, it does try again.
    RunResult retry = RunScanHost(Arguments({L"--json", L"--retry", L"--timeout", L"1"}));
    EXPECT_EQ(retry.exitCode, 1);
    EXPECT_EQ(Json::parse(retry.out)["plugins"][Key(L"b-hang.dll")]["status"], "timeout");
    EXPECT_EQ(CountRequests(Key(L"b-hang.dll")), 2u);
}
