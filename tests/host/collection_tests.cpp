// scanhost.exe with the real scan server over a collection of fixture plug-ins: effects,
// synths, a shell, refusals, crashes and a plug-in that hangs.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "host/journal.h"
#include "host/utf.h"
#include "tests/host/host_test_support.h"

using namespace ScanHost;
using Json = nlohmann::json;

namespace {

std::wstring Fixture(const std::wstring& name) { return BinaryFolder() + L"\\plugins\\" + name + L".dll"; }
std::wstring HostFixture(const std::wstring& name) { return BinaryFolder() + L"\\hostplugins\\" + name + L".dll"; }

void Copy(const std::wstring& from, const std::wstring& to) {
    ASSERT_TRUE(Exists(from)) << ToUtf8(from);
    WriteBytes(to, ReadBytes(from));
}

struct Expected {
    const wchar_t* file;  // in the collection
    const wchar_t* fixture;
    const char* status;
};

// 38 modules, one of them a shell with two sub-plug-ins.
const Expected kCollection[] = {
    {L"plain-effect", L"plain-effect", "ok"},
    {L"sample-effect", L"sample-effect", "ok"},
    {L"entry-main-only", L"entry-main-only", "ok"},
    {L"entry-both", L"entry-both", "ok"},
    {L"double-replacing", L"double-replacing", "ok"},
    {L"category-other", L"category-other", "ok"},
    {L"category-unknown-with-inputs", L"category-unknown-with-inputs", "ok"},
    {L"category-unknown-without-inputs", L"category-unknown-without-inputs", "ok"},
    {L"midi-first-answers-yes", L"midi-first-answers-yes", "ok"},
    {L"midi-first-answers-zero", L"midi-first-answers-zero", "ok"},
    {L"midi-second-answers-yes", L"midi-second-answers-yes", "ok"},
    {L"midi-second-answers-zero", L"midi-second-answers-zero", "ok"},
    {L"midi-receive-only", L"midi-receive-only", "ok"},
    {L"midi-send-only", L"midi-send-only", "ok"},
    {L"midi-want-midi-call", L"midi-want-midi-call", "ok"},
    {L"vendor-version-7", L"vendor-version-7", "ok"},
    {L"vendor-version-1234", L"vendor-version-1234", "ok"},
    {L"file-version-product", L"file-version-product", "ok"},
    {L"file-version-zero", L"file-version-zero", "ok"},
    {L"texts-high-bytes", L"texts-high-bytes", "ok"},
    {L"texts-511-bytes", L"texts-511-bytes", "ok"},
    {L"fault-in-close", L"fault-in-close", "ok"},  // the server absorbs a fault in effClose
    {L"close-catches-own-exception", L"close-catches-own-exception", "ok"},
    {L"Copies\\Delay A", L"sample-effect", "ok"},
    {L"Copies\\d\u00e9lai \u00e9t\u00e9", L"sample-effect", "ok"},
    {L"Synths\\sample-synth", L"sample-synth", "ok"},
    {L"Synths\\synth-flag", L"synth-flag", "ok"},
    {L"Shells\\sample-shell", L"sample-shell", "ok"},
    {L"Broken\\bad-magic", L"bad-magic", "failed"},
    {L"Broken\\entry-none", L"entry-none", "failed"},
    {L"Broken\\entry-returns-null", L"entry-returns-null", "failed"},
    {L"Broken\\jbridge-bootstrap", L"jbridge-bootstrap", "failed"},
    {L"Broken\\fault-in-dllmain", L"fault-in-dllmain", "failed"},  // the loader absorbs it
    {L"Broken\\fault-in-entry", L"fault-in-entry", "crashed"},
    {L"Broken\\fault-in-query", L"fault-in-query", "crashed"},
    {L"Broken\\hang-in-entry", nullptr, "timeout"},
};
constexpr size_t kModules = sizeof kCollection / sizeof kCollection[0] + 2;  // + notes.dll, x86

class CollectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const Expected& item : kCollection)
            Copy(item.fixture ? Fixture(item.fixture) : HostFixture(L"hang-in-entry"), File(item.file));
        WriteBytes(File(L"notes"), "not a module");
        // A 32-bit plug-in: only an x86 scan server could load it, and there is none here.
        Copy(BinaryFolder() + L"\\..\\..\\x86\\bin\\plugins\\sample-effect.dll", File(L"Old\\sample-effect-32"));
    }

    std::wstring File(const std::wstring& name) const { return m_plugins + L"\\" + name + L".dll"; }
    std::string Key(const std::wstring& name) const { return ToUtf8(File(name)); }

    RunResult Run(std::vector<std::wstring> extra) const {
        std::vector<std::wstring> arguments = {L"--db", m_database, L"--json", L"--timeout", L"3"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        arguments.push_back(m_plugins);
        return RunScanHost(arguments);
    }

    TempFolder m_folder;
    std::wstring m_plugins = m_folder / L"Plug-ins";
    std::wstring m_database = m_folder / L"plugins.json";
};

}  // namespace

TEST_F(CollectionTest, EveryPluginGetsOneEntryAndAnUnchangedCollectionIsNotScannedAgain) {
    RunResult first = Run({});
    ASSERT_EQ(first.exitCode, 1) << first.err;  // some plug-ins failed, crashed or hung
    Json json = Json::parse(first.out);
    const Json& plugins = json["plugins"];
    EXPECT_EQ(plugins.size(), kModules + 2);
    EXPECT_EQ(json["run"]["modules"], kModules);
    for (const Expected& item : kCollection) {
        SCOPED_TRACE(ToUtf8(item.file));
        ASSERT_TRUE(plugins.contains(Key(item.file)));
        const Json& entry = plugins[Key(item.file)];
        EXPECT_EQ(entry["status"], item.status) << entry["error"];
        EXPECT_EQ(entry["platform"], "x64");
        EXPECT_EQ(entry["error"] == "", std::string(item.status) == "ok") << entry["error"];
    }

    // Members as the server reported them.
    const Json& effect = plugins[Key(L"sample-effect")];
    EXPECT_EQ(effect["id"], "53614466");
    EXPECT_EQ(effect["name"], "Sample Delay");
    EXPECT_EQ(effect["vendor"], "Velmorant Samples");
    EXPECT_EQ(effect["product"], "Sample Delay");
    EXPECT_EQ(effect["version"], "1.2.0.0");
    EXPECT_EQ(effect["numInputs"], 2);
    EXPECT_EQ(effect["numOutputs"], 2);
    EXPECT_EQ(effect["audio64"], true);
    EXPECT_EQ(effect["category"], 1);
    EXPECT_EQ(plugins[Key(L"Copies\\d\u00e9lai \u00e9t\u00e9")]["name"], "Sample Delay");
    const Json& synth = plugins[Key(L"Synths\\sample-synth")];
    EXPECT_EQ(synth["category"], 2);
    EXPECT_EQ(synth["wantsMidi"], true);
    EXPECT_EQ(synth["numInputs"], 0);
    EXPECT_EQ(plugins[Key(L"texts-high-bytes")]["product"], "Caf\xC3\xA9");

    const Json& shell = plugins[Key(L"Shells\\sample-shell")];
    EXPECT_EQ(shell["category"], 10);
    EXPECT_EQ(shell["shells"], (Json{{"53614331", "Sample Bundle Reverb"}, {"53614332", "Sample Bundle EQ"}}));
    for (const auto& [id, name] : shell["shells"].items()) {
        const Json& sub = plugins[Key(L"Shells\\sample-shell") + ">" + id];
        EXPECT_EQ(sub["status"], "ok");
        EXPECT_EQ(sub["shellId"], id);
        EXPECT_EQ(sub["id"], id);
        EXPECT_EQ(sub["name"], name);
        EXPECT_EQ(sub["category"], 1);
    }

    for (const wchar_t* crashed : {L"Broken\\fault-in-entry", L"Broken\\fault-in-query"}) {
        const Json& entry = plugins[Key(crashed)];
        EXPECT_EQ(entry["error"].get<std::string>().rfind("the scan server crashed (exit code 9)", 0), 0u);
        std::string dump = entry["dump"];
        EXPECT_EQ(ReadBytes(FromUtf8(dump)).substr(0, 4), "MDMP") << dump;  // a minidump's signature
    }
    EXPECT_NE(plugins[Key(L"Broken\\fault-in-entry")]["dump"], plugins[Key(L"Broken\\fault-in-query")]["dump"]);
    EXPECT_EQ(plugins[Key(L"Broken\\hang-in-entry")]["error"],
              "no result within 3 s; the scan server was ended; last line: Calling entry point...");
    EXPECT_EQ(plugins[Key(L"Broken\\entry-none")]["error"], "Entry point not found, not a VST plugin");
    EXPECT_EQ(plugins[Key(L"notes")]["status"], "skipped");
    EXPECT_EQ(plugins[Key(L"Old\\sample-effect-32")]["status"], "skipped");
    EXPECT_EQ(plugins[Key(L"Old\\sample-effect-32")]["error"].get<std::string>().rfind("no x86 scan server", 0), 0u);

    // Nothing changed: no server at all, and the same entries.
    RunResult second = Run({});
    EXPECT_EQ(second.exitCode, 1);
    Json again = Json::parse(second.out);
    EXPECT_EQ(again["run"]["serversStarted"], 0);
    EXPECT_EQ(again["run"]["requests"], 0);
    EXPECT_EQ(again["plugins"], plugins);

    // One touched file is the only one scanned.
    Touch(File(L"Synths\\synth-flag"));
    RunResult third = Run({});
    Json touched = Json::parse(third.out);
    EXPECT_EQ(touched["run"]["requests"], 1);
    EXPECT_EQ(touched["run"]["unchanged"], kModules - 1);
    for (const auto& [key, entry] : touched["plugins"].items()) {
        if (key == Key(L"Synths\\synth-flag")) {
            EXPECT_NE(entry["lastWrite"], plugins[key]["lastWrite"]);
            EXPECT_EQ(entry["status"], "ok");
        } else {
            EXPECT_EQ(entry, plugins[key]) << key;
        }
    }
}

TEST_F(CollectionTest, ScanhostEndedDuringAHangMarksThatPluginNextTime) {
    std::wstring collection = m_folder / L"small";
    Copy(Fixture(L"plain-effect"), collection + L"\\a-effect.dll");
    Copy(HostFixture(L"hang-in-entry"), collection + L"\\b-hang.dll");
    Copy(Fixture(L"sample-synth"), collection + L"\\c-synth.dll");
    std::vector<std::wstring> arguments = {L"--db", m_database, L"-j", L"1", L"--timeout", L"0", collection};

    ChildProcess first;
    ASSERT_TRUE(first.Start(ScanHostPath(), arguments));
    bool inFlight = false;
    for (int i = 0; i < 600 && !inFlight; ++i) {
        std::string journal = ReadBytes(m_database + L".journal");
        inFlight = journal.find("\"inFlight\"") != std::string::npos && journal.find("b-hang.dll") != std::string::npos;
        if (!inFlight) Sleep(50);
    }
    ASSERT_TRUE(inFlight);
    first.Kill();

    arguments.insert(arguments.begin(), L"--json");
    RunResult next = RunScanHost(arguments);
    EXPECT_EQ(next.exitCode, 1);
    Json json = Json::parse(next.out);
    EXPECT_EQ(json["run"]["interrupted"], 1);
    const Json& hang = json["plugins"][ToUtf8(collection + L"\\b-hang.dll")];
    EXPECT_EQ(hang["status"], "crashed");
    EXPECT_EQ(hang["error"], kInterruptedError);
    EXPECT_EQ(json["plugins"][ToUtf8(collection + L"\\a-effect.dll")]["name"], "Fixture Effect");
    EXPECT_EQ(json["plugins"][ToUtf8(collection + L"\\c-synth.dll")]["name"], "Sample Synth");
    // Only c-synth.dll needed a server: a-effect.dll's result survived in the journal.
    EXPECT_EQ(json["run"]["requests"], 1);
}
