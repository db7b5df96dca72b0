#include <gtest/gtest.h>

#include "host/database.h"
#include "host/journal.h"
#include "host/utf.h"
#include "tests/host/host_test_support.h"

using namespace ScanHost;
using Json = nlohmann::ordered_json;

namespace {

Entry MakeEntry(const std::string& path, EStatus status, const std::string& name) {
    Entry entry;
    entry.path = path;
    entry.stamp = {12345, 133000000001234567ull};
    entry.status = status;
    entry.scanTime = "2024-03-07T14:05:09Z";
    entry.scanSeconds = 0.25;
    entry.record.id = 0x44656D6F;
    entry.record.name = name;
    entry.record.vendor = "Vendor";
    entry.record.platform = "x64";
    entry.record.category = 1;
    entry.record.numInputs = 2;
    entry.record.numOutputs = 2;
    entry.record.audio64 = true;
    return entry;
}

std::vector<Entry> SampleEntries() {
    std::vector<Entry> entries;
    entries.push_back(MakeEntry("C:\\Plugins\\Delay.dll", EStatus::Ok, "Demo Delay"));

    Entry shell = MakeEntry("C:\\Plugins\\Bundle.dll", EStatus::Ok, "Bundle");
    shell.record.category = kCategoryShell;
    shell.record.shells = {{0x45784131, "Bundle Reverb"}, {0x45784132, "Bundle EQ"}};
    entries.push_back(shell);

    Entry sub = MakeEntry("C:\\Plugins\\Bundle.dll", EStatus::Ok, "Bundle Reverb");
    sub.isSubPlugin = true;
    sub.shellId = 0x45784131;
    sub.record.id = 0x45784131;
    entries.push_back(sub);

    Entry crashed = MakeEntry("C:\\Plugins\\Crash.dll", EStatus::Crashed, "");
    crashed.error = "the scan server crashed (exit code 9)";
    crashed.dump = "C:\\dumps\\ScanServer-x64-2024-03-07-14-05-09.mdmp";
    entries.push_back(crashed);

    Entry failed = MakeEntry("C:\\Plugins\\Fail.dll", EStatus::Failed, "");
    failed.error = failed.record.error = "Failed to load library, err=126";
    entries.push_back(failed);

    // Texts outside ASCII, quotes, backslashes and control characters survive as UTF-8.
    Entry unicode = MakeEntry("C:\\Plug-ins\\Caf\xC3\xA9 \xF0\x9F\x98\x80.dll", EStatus::Ok,
                              "\"Caf\xC3\xA9\" \\ \xF0\x9F\x98\x80\n\t\x01");
    entries.push_back(unicode);
    return entries;
}

void ExpectDatabaseError(const std::string& text, const char* message) {
    SCOPED_TRACE(text);
    try {
        Database::FromJson(Json::parse(text));
        ADD_FAILURE() << "no error";
    } catch (const DatabaseError& error) {
        EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
}

}  // namespace

TEST(DatabaseTest, EntriesSurviveSaveAndLoadExactly) {
    TempFolder folder;
    Database database;
    for (const Entry& entry : SampleEntries()) database.Put(entry);
    std::wstring file = folder / L"db.json";
    database.Save(file);

    // Strict JSON in UTF-8: a strict parser reads it, and the emoji is there as its four bytes.
    std::string text = ReadBytes(file);
    EXPECT_NO_THROW(Json::parse(text));
    EXPECT_NE(text.find("\xF0\x9F\x98\x80"), std::string::npos);

    Database loaded = Database::Load(file);
    ASSERT_EQ(loaded.size(), SampleEntries().size());
    for (const Entry& entry : SampleEntries()) {
        SCOPED_TRACE(entry.Key());
        const Entry* found = loaded.Find(entry.Key());
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(EntryToJson(*found), EntryToJson(entry));
    }
    const Entry* shell = loaded.Find("C:\\Plugins\\Bundle.dll");
    EXPECT_EQ(shell->record.shells, SampleEntries()[1].record.shells);
    EXPECT_EQ(loaded.Find("C:\\Plugins\\Fail.dll")->record.error, "Failed to load library, err=126");
    EXPECT_EQ(loaded.Find("C:\\Plugins\\Bundle.dll>45784131")->shellId, 0x45784131u);
}

TEST(DatabaseTest, EntryCarriesEveryRecordMemberAndTheScanStatus) {
    Json json = EntryToJson(SampleEntries()[3]);
    std::vector<std::string> names;
    for (const auto& item : json.items()) names.push_back(item.key());
    std::vector<std::string> expected = {"path",      "size",     "lastWrite",  "status",     "error",
                                         "dump",      "scanTime", "scanSeconds", "id",         "name",
                                         "vendor",    "product",  "version",    "numInputs",  "numOutputs",
                                         "wantsMidi", "sendsMidi", "platform",  "audio64",    "category",
                                         "synthEdit"};
    EXPECT_EQ(names, expected);
    EXPECT_EQ(json["status"], "crashed");
    EXPECT_EQ(json["lastWrite"], "2022-06-18T04:26:40.1234567Z");
    EXPECT_TRUE(EntryToJson(SampleEntries()[1]).contains("shells"));
    EXPECT_EQ(EntryToJson(SampleEntries()[2])["shellId"], "45784131");
}

TEST(DatabaseTest, FileTimesAreExactAndStrict) {
    for (uint64_t ticks : {0ull, 1ull, 9999999ull, 133000000001234567ull, 133000000000000000ull}) {
        uint64_t back = 0;
        ASSERT_TRUE(ParseFileTime(FormatFileTime(ticks), back)) << FormatFileTime(ticks);
        EXPECT_EQ(back, ticks);
    }
    EXPECT_EQ(FormatFileTime(0), "1601-01-01T00:00:00.0000000Z");
    uint64_t ticks = 0;
    for (const char* bad : {"", "2024-03-07T14:05:09Z", "2024-03-07T14:05:09.123456Z", "2024-03-07 14:05:09.1234567Z",
                            "2024-13-07T14:05:09.1234567Z", "2024-03-07T14:05:09.1234567Zx"})
        EXPECT_FALSE(ParseFileTime(bad, ticks)) << bad;
}

TEST(DatabaseTest, MalformedDatabasesAreRefusedWithTheReason) {
    Json good = Json::object();
    good["format"] = 1;
    good["plugins"][SampleEntries()[0].Key()] = EntryToJson(SampleEntries()[0]);
    std::string text = good.dump();
    EXPECT_EQ(Database::FromJson(Json::parse(text)).size(), 1u);

    auto without = [&](const char* member) {
        Json copy = good;
        copy["plugins"].begin().value().erase(member);
        return copy.dump();
    };
    auto with = [&](const char* member, Json value) {
        Json copy = good;
        copy["plugins"].begin().value()[member] = value;
        return copy.dump();
    };
    ExpectDatabaseError("[]", "not a scanhost database");
    ExpectDatabaseError("{\"format\": 2, \"plugins\": {}}", "not a scanhost database");
    ExpectDatabaseError(without("vendor"), "member \"vendor\" is missing");
    ExpectDatabaseError(without("lastWrite"), "member \"lastWrite\" is missing");
    ExpectDatabaseError(with("status", "fine"), "member \"status\" is unknown");
    ExpectDatabaseError(with("numInputs", "2"), "member \"numInputs\" has the wrong type");
    ExpectDatabaseError(with("size", -1), "member \"size\" has the wrong type");
    ExpectDatabaseError(with("id", "12"), "member \"id\" is not eight hexadecimal digits");
    ExpectDatabaseError(with("path", "C:\\Other.dll"), "the key does not match its path");
    ExpectDatabaseError(with("shells", Json::object()), "\"shells\" is present although the category is not 10");

    // The file itself must be strict JSON: a trailing comma is refused, not guessed around.
    TempFolder folder;
    WriteBytes(folder / L"db.json", "{\"format\": 1, \"plugins\": {},}");
    EXPECT_THROW(Database::Load(folder / L"db.json"), DatabaseError);
    EXPECT_EQ(Database::Load(folder / L"missing.json").size(), 0u);
}

TEST(DatabaseTest, PathsMatchWithoutLetterCaseAndModulesTakeTheirSubPlugins) {
    Database database;
    for (const Entry& entry : SampleEntries()) database.Put(entry);
    Entry other = SampleEntries()[2];
    other.shellId = 0x45784132;
    database.Put(other);

    EXPECT_NE(database.Find("c:\\plugins\\DELAY.DLL"), nullptr);
    EXPECT_NE(database.Find("c:\\plugins\\bundle.dll>45784131"), nullptr);
    EXPECT_EQ(database.SubPlugins("C:\\PLUGINS\\bundle.dll").size(), 2u);
    EXPECT_EQ(database.SubPlugins("C:\\Plugins\\Bundle").size(), 0u);

    size_t before = database.size();
    database.RemoveModule("c:\\plugins\\BUNDLE.dll");
    EXPECT_EQ(database.size(), before - 3);
    EXPECT_EQ(database.Find("C:\\Plugins\\Bundle.dll"), nullptr);
    EXPECT_NE(database.Find("C:\\Plugins\\Delay.dll"), nullptr);
}

TEST(DatabaseTest, EntriesOfRemovedFilesLeave) {
    TempFolder folder;
    WriteBytes(folder / L"kept.dll", "x");
    Database database;
    database.Put(MakeEntry(ToUtf8(folder / L"kept.dll"), EStatus::Ok, "Kept"));
    database.Put(MakeEntry(ToUtf8(folder / L"gone.dll"), EStatus::Ok, "Gone"));
    Entry sub = MakeEntry(ToUtf8(folder / L"gone.dll"), EStatus::Ok, "Gone sub");
    sub.isSubPlugin = true;
    sub.shellId = 7;
    database.Put(sub);
    EXPECT_EQ(database.RemoveMissingFiles(), 2u);
    EXPECT_EQ(database.size(), 1u);
    EXPECT_NE(database.Find(ToUtf8(folder / L"kept.dll")), nullptr);
}

TEST(JournalTest, ReplayKeepsResultsAndMarksWhatWasInFlight) {
    TempFolder folder;
    std::wstring file = folder / L"db.json.journal";
    std::vector<Entry> samples = SampleEntries();

    Database database;
    database.Put(samples[1]);  // a shell and its sub-plug-in from an earlier run
    database.Put(samples[2]);
    database.Put(samples[0]);
    {
        Journal journal(file);
        journal.Replace(samples[1].path);  // the shell is scanned anew
        Entry placeholder = samples[1];
        placeholder.status = EStatus::Crashed;
        placeholder.error = kInterruptedError;
        journal.InFlight(placeholder);
        journal.Record(samples[1]);
        Entry subPlaceholder = samples[2];
        subPlaceholder.status = EStatus::Crashed;
        subPlaceholder.error = kInterruptedError;
        journal.InFlight(subPlaceholder);  // ...and scanhost ends during its sub-plug-in
        Entry cancelled = samples[3];
        journal.InFlight(cancelled);
        journal.Cancel(cancelled.Key());
    }
    // The last line was torn when the process ended.
    WriteBytes(file, ReadBytes(file) + "{\"entry\": {\"path\": \"C:\\\\Plug");

    EXPECT_EQ(Journal::Replay(file, database), 1u);
    EXPECT_EQ(database.size(), 3u);
    EXPECT_EQ(database.Find(samples[1].Key())->status, EStatus::Ok);
    const Entry* sub = database.Find(samples[2].Key());
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(sub->status, EStatus::Crashed);
    EXPECT_EQ(sub->error, kInterruptedError);
    EXPECT_EQ(database.Find(samples[3].Key()), nullptr);  // cancelled: no entry
    EXPECT_NE(database.Find(samples[0].Key()), nullptr);  // untouched

    Journal(file).Remove();
    EXPECT_FALSE(Exists(file));
    EXPECT_EQ(Journal::Replay(file, database), 0u);
}

TEST(DatabaseLockTest, SecondScanhostOnTheSameDatabaseIsRefused) {
    TempFolder folder;
    std::wstring file = folder / L"db.json";
    {
        DatabaseLock first(file);
        try {
            DatabaseLock second(file);
            ADD_FAILURE() << "no error";
        } catch (const DatabaseError& error) {
            EXPECT_NE(std::string(error.what()).find("in use by another scanhost"), std::string::npos);
        }
    }
    EXPECT_NO_THROW(DatabaseLock again(file));
}
