// The scheduler against the stand-in server (fake_server.cpp): every outcome of a request,
// shells, parallel servers, the incremental database and the journal.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "host/collection.h"
#include "host/scanner.h"
#include "host/utf.h"
#include "tests/host/host_test_support.h"

using namespace ScanHost;

namespace {

// Cancels the run when a request for a module whose name holds `trigger` starts.
class CancellingObserver : public ScanObserver {
public:
    CancellingObserver(Scanner*& scanner, std::string trigger) : m_scanner(scanner), m_trigger(std::move(trigger)) {}
    void Started(const std::string& key) override {
        if (key.find(m_trigger) != std::string::npos) m_scanner->Cancel();
    }

private:
    Scanner*& m_scanner;
    std::string m_trigger;
};

class ScannerTest : public ::testing::Test {
protected:
    ScanOptions Options() const {
        ScanOptions options;
        options.serverFolder = FakeServerFolder();
        options.dumpFolder = m_folder / L"dumps";
        options.jobs = 3;
        options.timeoutMs = 2000;
        return options;
    }

    // One scanhost run over the plug-in folder: replay, scan, save, as the tool does.
    ScanStats Scan(const ScanOptions& options, ScanObserver* observer = nullptr) {
        std::wstring databaseFile = m_folder / L"db.json";
        m_database = Database::Load(databaseFile);
        m_interrupted = Journal::Replay(databaseFile + L".journal", m_database);
        Journal journal(databaseFile + L".journal");
        Scanner scanner(options, m_database, journal, observer);
        m_scanner = &scanner;
        ScanStats stats = scanner.Run(FindPlugins({m_plugins}));
        m_scanner = nullptr;
        m_database.Save(databaseFile);
        journal.Remove();
        return stats;
    }
    ScanStats Scan() { return Scan(Options()); }

    std::wstring Module(const std::wstring& name) const { return m_plugins + L"\\" + name; }
    std::string Key(const std::wstring& name) const { return ToUtf8(Module(name)); }
    const Entry& At(const std::string& key) const {
        const Entry* entry = m_database.Find(key);
        if (!entry) throw std::runtime_error("no entry for " + key);
        return *entry;
    }
    const Entry& At(const std::wstring& name) const { return At(Key(name)); }

    // "PID request" lines the stand-in servers wrote, and the requests alone.
    std::vector<std::string> ServerLog() const { return ReadLines(m_folder / L"dumps\\fake-requests.log"); }
    std::vector<std::string> Requests() const {
        std::vector<std::string> requests;
        for (const std::string& line : ServerLog()) {
            std::string request = line.substr(line.find(' ') + 1);
            if (request != "start") requests.push_back(request);
        }
        return requests;
    }
    std::string PidOf(const std::string& request) const {
        for (const std::string& line : ServerLog())
            if (line.substr(line.find(' ') + 1) == request) return line.substr(0, line.find(' '));
        return "none";
    }
    size_t CountOf(const std::string& request) const {
        std::vector<std::string> all = Requests();
        return static_cast<size_t>(std::count(all.begin(), all.end(), request));
    }

    // Effects, a shell whose sub-plug-ins crash and hang, failures of every kind, modules no
    // server can load, and a file that is no plug-in at all.
    void WriteCollection() {
        for (int n = 1; n <= 8; ++n)
            WriteFakeModule(Module(L"effect" + std::to_wstring(n) + L".dll"), "ok Effect " + std::to_string(n));
        WriteFakeModule(Module(L"Nested\\Deeper\\UPPER.DLL"), "ok Upper");
        WriteFakeModule(Module(L"unicode.dll"), "ok Caf\xC3\xA9 \xF0\x9F\x98\x80");
        WriteFakeModule(Module(L"fail.dll"), "fail Plug-in refused the scan");
        WriteFakeModule(Module(L"crash.dll"), "crash");
        WriteFakeModule(Module(L"slow-crash.dll"), "slow-crash");
        WriteFakeModule(Module(L"hang.dll"), "hang");
        WriteFakeModule(Module(L"exit3.dll"), "exit 3");
        WriteFakeModule(Module(L"garbage.dll"), "garbage");
        WriteFakeModule(Module(L"shell.dll"), "shell 0000A001=Alpha 0000A002=Beta:crash 0000A003=Gamma:hang 0000A004=Delta");
        WriteFakeModule(Module(L"arm64.dll"), "ok Arm", kMachineArm64);
        WriteFakeModule(Module(L"x86.dll"), "ok Old", kMachineI386);
        WriteBytes(Module(L"notpe.dll"), "hello");
        WriteBytes(Module(L"readme.txt"), "not a module");
    }
    static constexpr size_t kModules = 20;     // .dll files in WriteCollection
    static constexpr size_t kSubPlugins = 4;

    TempFolder m_folder;
    std::wstring m_plugins = m_folder / L"plugins";
    Database m_database;
    size_t m_interrupted = 0;
    Scanner* m_scanner = nullptr;
};

}  // namespace

TEST_F(ScannerTest, EveryPluginAndSubPluginGetsOneEntryWithItsStatus) {
    WriteCollection();
    ScanStats stats = Scan();
    EXPECT_EQ(stats.modules, kModules);
    EXPECT_EQ(m_database.size(), kModules + kSubPlugins);

    for (int n = 1; n <= 8; ++n) {
        const Entry& effect = At(L"effect" + std::to_wstring(n) + L".dll");
        EXPECT_EQ(effect.status, EStatus::Ok);
        EXPECT_EQ(effect.record.name, "Effect " + std::to_string(n));
        EXPECT_EQ(effect.record.vendor, "Fake Vendor");
        EXPECT_EQ(effect.record.id, 0x46414B45u);
        EXPECT_EQ(effect.record.platform, "x64");
        EXPECT_EQ(effect.record.category, 1);
        EXPECT_EQ(effect.error, "");
        EXPECT_FALSE(effect.scanTime.empty());
    }
    EXPECT_EQ(At(L"Nested\\Deeper\\UPPER.DLL").status, EStatus::Ok);
    EXPECT_EQ(At(L"unicode.dll").record.name, "Caf\xC3\xA9 \xF0\x9F\x98\x80");

    const Entry& failed = At(L"fail.dll");
    EXPECT_EQ(failed.status, EStatus::Failed);
    EXPECT_EQ(failed.error, "Plug-in refused the scan");

    const Entry& crashed = At(L"crash.dll");
    EXPECT_EQ(crashed.status, EStatus::Crashed);
    EXPECT_EQ(crashed.error, "the scan server crashed (exit code 9); last line: Calling entry point...");
    // The dump was moved out of the server's own folder into the dump folder.
    EXPECT_EQ(FromUtf8(crashed.dump).rfind(m_folder / L"dumps\\ScanServer-x64-", 0), 0u) << crashed.dump;
    EXPECT_EQ(ReadBytes(FromUtf8(crashed.dump)), "MDMP");

    // A crash whose dump takes longer to write than the timeout is still a crash.
    const Entry& slowCrash = At(L"slow-crash.dll");
    EXPECT_EQ(slowCrash.status, EStatus::Crashed);
    EXPECT_EQ(ReadBytes(FromUtf8(slowCrash.dump)), "MDMP");

    const Entry& hung = At(L"hang.dll");
    EXPECT_EQ(hung.status, EStatus::Timeout);
    EXPECT_EQ(hung.error, "no result within 2 s; the scan server was ended; last line: Calling entry point...");

    EXPECT_EQ(At(L"exit3.dll").status, EStatus::Crashed);
    EXPECT_EQ(At(L"exit3.dll").error.rfind("the scan server ended with exit code 0x3", 0), 0u);
    EXPECT_EQ(At(L"exit3.dll").dump, "");
    EXPECT_EQ(At(L"garbage.dll").status, EStatus::Failed);
    EXPECT_EQ(At(L"garbage.dll").error.rfind("protocol error: result record, line 3", 0), 0u) << At(L"garbage.dll").error;

    EXPECT_EQ(At(L"arm64.dll").status, EStatus::Skipped);
    EXPECT_EQ(At(L"arm64.dll").error, "unsupported machine type ARM64 (0xAA64)");
    EXPECT_EQ(At(L"x86.dll").status, EStatus::Skipped);
    EXPECT_NE(At(L"x86.dll").error.find("no x86 scan server"), std::string::npos);
    EXPECT_EQ(At(L"notpe.dll").status, EStatus::Skipped);
    EXPECT_EQ(At(L"notpe.dll").error, "not a PE file (no MZ header)");

    // The shell and each of its sub-plug-ins.
    const Entry& shell = At(L"shell.dll");
    EXPECT_EQ(shell.status, EStatus::Ok);
    EXPECT_EQ(shell.record.category, kCategoryShell);
    ASSERT_EQ(shell.record.shells.size(), 4u);
    std::string shellKey = Key(L"shell.dll");
    const Entry& alpha = At(shellKey + ">0000A001");
    EXPECT_EQ(alpha.status, EStatus::Ok);
    EXPECT_TRUE(alpha.isSubPlugin);
    EXPECT_EQ(alpha.record.id, 0xA001u);
    EXPECT_EQ(alpha.record.name, "Alpha");
    const Entry& beta = At(shellKey + ">0000A002");
    EXPECT_EQ(beta.status, EStatus::Crashed);
    EXPECT_EQ(beta.record.name, "Beta");  // from the shell's listing
    EXPECT_TRUE(Exists(FromUtf8(beta.dump)));
    EXPECT_NE(beta.dump, crashed.dump);
    EXPECT_EQ(At(shellKey + ">0000A003").status, EStatus::Timeout);
    EXPECT_EQ(At(shellKey + ">0000A004").status, EStatus::Ok);

    // Each request once: a crash or hang is not retried in the same run.
    for (const Entry* entry : {&crashed, &hung, &beta}) EXPECT_EQ(CountOf(entry->Key()), 1u) << entry->Key();
    EXPECT_EQ(Requests().size(), kModules - 3 + kSubPlugins);  // arm64, x86 and notpe need no server
    // The shell stays on its server until that server dies: listing and first sub-plug-in
    // share a process, and each crash or hang brings a fresh one.
    EXPECT_EQ(PidOf(shellKey), PidOf(shellKey + ">0000A001"));
    EXPECT_EQ(PidOf(shellKey), PidOf(shellKey + ">0000A002"));
    EXPECT_NE(PidOf(shellKey + ">0000A002"), PidOf(shellKey + ">0000A003"));
    EXPECT_NE(PidOf(shellKey + ">0000A003"), PidOf(shellKey + ">0000A004"));
    // Servers are reused across plug-ins: far fewer than one per request.
    EXPECT_LT(stats.serversStarted, Requests().size());
    // The per-server dump folders are gone again.
    EXPECT_FALSE(Exists(m_folder / L"dumps\\incoming-" + std::to_wstring(GetCurrentProcessId()) + L"-1"));
}

TEST_F(ScannerTest, UnchangedCollectionStartsNoServerAndATouchedFileAloneIsRescanned) {
    WriteCollection();
    Scan();
    std::string before = At(L"effect3.dll").scanTime;
    size_t requests = Requests().size();

    ScanStats again = Scan();
    EXPECT_EQ(again.serversStarted, 0u);
    EXPECT_EQ(again.requests, 0u);
    EXPECT_EQ(again.unchanged, kModules);
    EXPECT_EQ(Requests().size(), requests);
    EXPECT_EQ(m_database.size(), kModules + kSubPlugins);
    EXPECT_EQ(At(L"crash.dll").status, EStatus::Crashed);  // a crash is not scanned again either

    Touch(Module(L"effect3.dll"));
    ASSERT_TRUE(DeleteFileW(Module(L"effect4.dll").c_str()));
    ScanStats touched = Scan();
    EXPECT_EQ(touched.requests, 1u);
    EXPECT_EQ(touched.serversStarted, 1u);
    EXPECT_EQ(touched.removed, 1u);
    ASSERT_EQ(Requests().size(), requests + 1);
    EXPECT_EQ(Requests().back(), Key(L"effect3.dll"));
    EXPECT_EQ(m_database.Find(Key(L"effect4.dll")), nullptr);
    EXPECT_EQ(m_database.size(), kModules + kSubPlugins - 1);

    // A changed shell is listed and scanned anew; sub-plug-ins it no longer lists leave.
    WriteFakeModule(Module(L"shell.dll"), "shell 0000A001=Alpha 0000A009=Omega");
    Scan();
    EXPECT_EQ(m_database.SubPlugins(Key(L"shell.dll")).size(), 2u);
    EXPECT_EQ(At(Key(L"shell.dll") + ">0000A009").record.name, "Omega");
    EXPECT_EQ(m_database.Find(Key(L"shell.dll") + ">0000A002"), nullptr);
}

TEST_F(ScannerTest, RetryScansWhatCrashedOrTimedOutAndRescanScansEverything) {
    WriteCollection();
    Scan();
    size_t requests = Requests().size();

    ScanOptions retry = Options();
    retry.retry = true;
    ScanStats stats = Scan(retry);
    std::vector<std::string> all = Requests();
    std::vector<std::string> added(all.begin() + static_cast<long>(requests), all.end());
    std::sort(added.begin(), added.end());
    std::string shell = Key(L"shell.dll");
    // The shell is listed again only to reach its crashed and hung sub-plug-ins.
    std::vector<std::string> expected = {Key(L"crash.dll"), Key(L"exit3.dll"), Key(L"hang.dll"),
                                         Key(L"slow-crash.dll"), shell, shell + ">0000A002", shell + ">0000A003"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(added, expected);
    EXPECT_EQ(stats.unchanged, kModules - 5);
    EXPECT_EQ(At(shell + ">0000A001").status, EStatus::Ok);  // kept from the first run
    EXPECT_EQ(m_database.size(), kModules + kSubPlugins);

    ScanOptions rescan = Options();
    rescan.rescan = true;
    ScanStats all2 = Scan(rescan);
    EXPECT_EQ(all2.unchanged, 0u);
    EXPECT_EQ(all2.requests, kModules - 3 + kSubPlugins);
}

TEST_F(ScannerTest, ShellWithSubPluginsMissingFromTheDatabaseGetsOnlyThoseScanned) {
    WriteFakeModule(Module(L"shell.dll"), "shell 00000001=One 00000002=Two 00000003=Three");
    Scan();
    // As after a run that was ended between two sub-plug-ins: one has no entry yet.
    std::wstring databaseFile = m_folder / L"db.json";
    nlohmann::ordered_json json = nlohmann::ordered_json::parse(ReadBytes(databaseFile));
    ASSERT_EQ(json["plugins"].erase(Key(L"shell.dll") + ">00000002"), 1u);
    WriteBytes(databaseFile, json.dump());
    size_t requests = Requests().size();

    Scan();
    std::vector<std::string> all = Requests();
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(requests), all.end()),
              (std::vector<std::string>{Key(L"shell.dll"), Key(L"shell.dll") + ">00000002"}));
    EXPECT_EQ(At(Key(L"shell.dll") + ">00000002").record.name, "Two");
    EXPECT_EQ(m_database.size(), 4u);
}

TEST_F(ScannerTest, CrashBeforeTheServerReachesAModuleIsNotBlamedOnIt) {
    // The first plug-in leaves something behind that kills its server as the next request
    // arrives, before that module is even loaded.
    WriteFakeModule(Module(L"a-poison.dll"), "poison Poison");
    WriteFakeModule(Module(L"b-next.dll"), "ok Next");
    ScanOptions options = Options();
    options.jobs = 1;
    Scan(options);
    EXPECT_EQ(At(L"a-poison.dll").status, EStatus::Ok);
    EXPECT_EQ(At(L"b-next.dll").status, EStatus::Ok);
    EXPECT_EQ(At(L"b-next.dll").record.name, "Next");
    EXPECT_EQ(CountOf(Key(L"b-next.dll")), 2u);  // once on the dying server, once on a fresh one
}

TEST_F(ScannerTest, MaxRequestsStartsAFreshServerPerModuleButKeepsAShellTogether) {
    WriteFakeModule(Module(L"a.dll"), "ok A");
    WriteFakeModule(Module(L"b.dll"), "ok B");
    WriteFakeModule(Module(L"c-shell.dll"), "shell 00000001=One 00000002=Two");
    ScanOptions options = Options();
    options.jobs = 1;
    options.maxRequestsPerServer = 1;
    ScanStats stats = Scan(options);
    EXPECT_EQ(stats.serversStarted, 3u);
    EXPECT_NE(PidOf(Key(L"a.dll")), PidOf(Key(L"b.dll")));
    EXPECT_EQ(PidOf(Key(L"c-shell.dll")), PidOf(Key(L"c-shell.dll") + ">00000002"));
}

TEST_F(ScannerTest, CancelAbandonsTheRequestInFlightWithoutBlamingIt) {
    WriteFakeModule(Module(L"a.dll"), "ok A");
    WriteFakeModule(Module(L"b-hang.dll"), "hang");
    WriteFakeModule(Module(L"c.dll"), "ok C");
    ScanOptions options = Options();
    options.jobs = 1;
    options.timeoutMs = 0;  // only the cancel can end the wait
    CancellingObserver observer(m_scanner, "b-hang");
    ScanStats stats = Scan(options, &observer);
    EXPECT_TRUE(stats.cancelled);
    EXPECT_EQ(At(L"a.dll").status, EStatus::Ok);
    EXPECT_EQ(m_database.Find(Key(L"b-hang.dll")), nullptr);
    EXPECT_EQ(m_database.Find(Key(L"c.dll")), nullptr);

    // The next run starts where this one stopped, and blames nobody.
    options.timeoutMs = 1000;
    Scan(options);
    EXPECT_EQ(m_interrupted, 0u);
    EXPECT_EQ(At(L"b-hang.dll").status, EStatus::Timeout);
    EXPECT_EQ(At(L"c.dll").status, EStatus::Ok);
    EXPECT_EQ(CountOf(Key(L"a.dll")), 1u);
}
