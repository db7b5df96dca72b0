#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/answer.h"
#include "host/record_reader.h"

using namespace ScanHost;

namespace {

// The record lines of a plain effect and of a shell, as the server writes them (level
// prefixes removed): every member line ends in a comma, the last one too.
const char* const kEffect =
    "{\n"
    "  \"id\":        \"44656D6F\",\n"
    "  \"name\":      \"Demo Delay\",\n"
    "  \"vendor\":    \"Example Vendor\",\n"
    "  \"product\":   \"Demo Delay\",\n"
    "  \"version\":   \"1.2.0.0\",\n"
    "  \"error\":     \"\",\n"
    "  \"numInputs\": 2,\n"
    "  \"numOutputs\":2,\n"
    "  \"wantsMidi\":  false,\n"
    "  \"sendsMidi\": false,\n"
    "  \"platform\":  \"x86\",\n"
    "  \"audio64\":   true,\n"
    "  \"category\":  1,\n"
    "  \"synthEdit\": false,\n"
    "}";

const char* const kShell =
    "{\n"
    "  \"id\":        \"45784268\",\n"
    "  \"name\":      \"Example Bundle\",\n"
    "  \"vendor\":    \"Example Vendor\",\n"
    "  \"product\":   \"Example Bundle\",\n"
    "  \"version\":   \"2.0.1.0\",\n"
    "  \"error\":     \"\",\n"
    "  \"numInputs\": 2,\n"
    "  \"numOutputs\":2,\n"
    "  \"wantsMidi\":  false,\n"
    "  \"sendsMidi\": false,\n"
    "  \"platform\":  \"x86\",\n"
    "  \"audio64\":   false,\n"
    "  \"category\":  10,\n"
    "  \"synthEdit\": false,\n"
    "  \"shells\": {\n"
    "        \"45784131\": \"Bundle Reverb\",\n"
    "        \"45784132\": \"Bundle EQ\",\n"
    "  },\n"
    "}";

// kEffect with one member line replaced (or removed when `with` is empty).
std::string EffectWith(const std::string& member, const std::string& with) {
    std::string text = kEffect;
    size_t at = text.find("  \"" + member + "\":");
    size_t end = text.find('\n', at);
    text.replace(at, end - at + 1, with.empty() ? "" : with + "\n");
    return text;
}

std::string EffectNamed(const std::string& escapedName) { return EffectWith("name", "  \"name\": \"" + escapedName + "\","); }

}  // namespace

TEST(RecordReaderTest, ReadsThePlainEffectRecord) {
    ScanRecord r = ReadRecord(kEffect);
    EXPECT_EQ(r.id, 0x44656D6Fu);
    EXPECT_EQ(r.name, "Demo Delay");
    EXPECT_EQ(r.vendor, "Example Vendor");
    EXPECT_EQ(r.product, "Demo Delay");
    EXPECT_EQ(r.version, "1.2.0.0");
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.numInputs, 2);
    EXPECT_EQ(r.numOutputs, 2);
    EXPECT_FALSE(r.wantsMidi);
    EXPECT_FALSE(r.sendsMidi);
    EXPECT_EQ(r.platform, "x86");
    EXPECT_TRUE(r.audio64);
    EXPECT_EQ(r.category, 1);
    EXPECT_FALSE(r.synthEdit);
    EXPECT_TRUE(r.shells.empty());
}

TEST(RecordReaderTest, ReadsTheShellRecordWithItsSubPluginsInOrder) {
    ScanRecord r = ReadRecord(kShell);
    EXPECT_EQ(r.id, 0x45784268u);
    EXPECT_EQ(r.category, 10);
    std::vector<ShellEntry> expected = {{0x45784131, "Bundle Reverb"}, {0x45784132, "Bundle EQ"}};
    EXPECT_EQ(r.shells, expected);
}

TEST(RecordReaderTest, ReadsOtherValuesOfEachMember) {
    std::string text = kEffect;
    for (auto [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"\"44656D6F\"", "\"ffffffff\""},
             {"\"numInputs\": 2", "\"numInputs\": -2147483648"},
             {"\"numOutputs\":2", "\"numOutputs\":2147483647"},
             {"\"wantsMidi\":  false", "\"wantsMidi\":  true"},
             {"\"sendsMidi\": false", "\"sendsMidi\": true"},
             {"\"x86\"", "\"x64\""},
             {"\"audio64\":   true", "\"audio64\":   false"},
             {"\"category\":  1", "\"category\":  -1"},
             {"\"synthEdit\": false", "\"synthEdit\": true"}})
        text.replace(text.find(from), from.size(), to);
    ScanRecord r = ReadRecord(text);
    EXPECT_EQ(r.id, 0xFFFFFFFFu);
    EXPECT_EQ(r.numInputs, INT32_MIN);
    EXPECT_EQ(r.numOutputs, INT32_MAX);
    EXPECT_TRUE(r.wantsMidi);
    EXPECT_TRUE(r.sendsMidi);
    EXPECT_EQ(r.platform, "x64");
    EXPECT_FALSE(r.audio64);
    EXPECT_EQ(r.category, -1);
    EXPECT_TRUE(r.synthEdit);
}

TEST(RecordReaderTest, EmptyShellBlockAndStrictCommasAreAccepted) {
    std::string empty = kShell;
    size_t from = empty.find("        \"45784131\"");
    empty.erase(from, empty.find("  },") - from);
    EXPECT_TRUE(ReadRecord(empty).shells.empty());

    // Without the trailing commas the record is plain JSON, which is read too.
    std::string strict = kEffect;
    strict.replace(strict.find("false,\n}"), 8, "false\n}");
    EXPECT_FALSE(ReadRecord(strict).synthEdit);
}

struct EscapeCase {
    const char* escaped;
    const char* utf8;
};

TEST(RecordReaderTest, UnescapesEveryEscape) {
    const EscapeCase cases[] = {
        {"\\\"", "\""},
        {"\\\\", "\\"},
        {"\\/", "/"},
        {"\\b", "\b"},
        {"\\f", "\f"},
        {"\\n", "\n"},
        {"\\r", "\r"},
        {"\\t", "\t"},
        {"\\u0014", "\x14"},
        {"\\u001f", "\x1F"},
        {"\\u007f", "\x7F"},
        {"\\u00e9", "\xC3\xA9"},
        {"\\u00E9", "\xC3\xA9"},
        {"\\u20ac", "\xE2\x82\xAC"},
        {"\\ud83d\\ude00", "\xF0\x9F\x98\x80"},       // a surrogate pair: one code point
        {"\\uD83D\\uDE00", "\xF0\x9F\x98\x80"},
        {"a\\ud83db", "a\xEF\xBF\xBD" "b"},           // unpaired high surrogate: U+FFFD
        {"\\ude00", "\xEF\xBF\xBD"},                   // unpaired low surrogate
        {"\\ud83d\\u0041", "\xEF\xBF\xBD" "A"},        // high surrogate before a non-surrogate
        {"\\ud83d\\ud83d\\ude00", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
        {"C:\\\\Plugins\\\\Delay.dll", "C:\\Plugins\\Delay.dll"},
        {" ~", " ~"},
    };
    for (const EscapeCase& c : cases) {
        SCOPED_TRACE(c.escaped);
        EXPECT_EQ(ReadRecord(EffectNamed(c.escaped)).name, c.utf8);
    }
}

struct MalformedCase {
    const char* what;
    std::string text;
    const char* error;  // part of the message
};

TEST(RecordReaderTest, MalformedRecordsGiveAClearProtocolError) {
    const std::string effect = kEffect;
    const std::string shell = kShell;
    const MalformedCase cases[] = {
        {"missing member", EffectWith("vendor", ""), "member \"vendor\" is missing"},
        {"missing platform", EffectWith("platform", ""), "member \"platform\" is missing"},
        {"unknown member", EffectWith("vendor", "  \"vendor\": \"V\",\n  \"colour\": \"red\","), "line 5 column 13: member \"colour\" is unknown"},
        {"duplicate member", EffectWith("vendor", "  \"vendor\": \"V\",\n  \"name\": \"again\","), "member \"name\" appears twice"},
        {"bad escape", EffectNamed("a\\qb"), "line 3 column 13: bad escape \\q"},
        {"short \\u escape", EffectNamed("\\u12g4"), "bad escape: \\u needs four hexadecimal digits"},
        {"truncated inside a string", effect.substr(0, effect.find("Demo Delay") + 4), "truncated: it ends inside a string"},
        {"truncated after a member", effect.substr(0, effect.find("\"numInputs\"")), "truncated: it ends inside an object"},
        {"truncated inside an escape", effect.substr(0, effect.find("Demo")) + "\\u00", "truncated: it ends inside a string"},
        {"truncated before a value", effect.substr(0, effect.find("2,")), "truncated: it ends inside the record"},
        {"truncated shell block", shell.substr(0, shell.find("  },")), "truncated: it ends inside an object"},
        {"empty", "", "the record is empty"},
        {"not an object", "[1]", "expected '{'"},
        {"text after the record", effect + "\n{", "after the end of the record"},
        {"missing comma", EffectWith("vendor", "  \"vendor\": \"V\"\n  \"product\": \"P\","), "expected ',' or '}'"},
        {"double comma", EffectWith("vendor", "  \"vendor\": \"V\",,"), "expected a member name"},
        {"string for a number", EffectWith("numInputs", "  \"numInputs\": \"2\","), "member \"numInputs\" must be an integer"},
        {"number for a flag", EffectWith("audio64", "  \"audio64\": 1,"), "member \"audio64\" must be true or false"},
        {"fraction", EffectWith("category", "  \"category\": 1.5,"), "not an integer"},
        {"leading zero", EffectWith("category", "  \"category\": 01,"), "leading zero"},
        {"out of range", EffectWith("numInputs", "  \"numInputs\": 2147483648,"), "out of the 32-bit range"},
        {"short id", EffectWith("id", "  \"id\": \"4465\","), "member \"id\" must be eight hexadecimal digits"},
        {"unknown platform", EffectWith("platform", "  \"platform\": \"arm64\","), "must be \"x86\" or \"x64\""},
        {"control character", EffectNamed("a\tb"), "control character"},
        {"raw non-ASCII", EffectNamed("caf\xC3\xA9"), "byte 0xC3 inside a string"},
        {"shell without shells", EffectWith("category", "  \"category\": 10,"), "\"shells\" is missing although the category is 10"},
        {"shells without shell", EffectWith("synthEdit", "  \"synthEdit\": false,\n  \"shells\": {},"), "present although the category is not 10"},
        {"bad sub-plug-in id", EffectWith("category", "  \"category\": 10,\n  \"shells\": {\"xyz\": \"A\"},"), "not eight hexadecimal digits"},
        {"repeated sub-plug-in id", EffectWith("category", "  \"category\": 10,\n  \"shells\": {\"0000000a\": \"A\", \"0000000A\": \"B\"},"), "repeats an id"},
        {"sub-plug-in name not a string", EffectWith("category", "  \"category\": 10,\n  \"shells\": {\"0000000A\": 1},"), "must be a string"},
    };
    for (const MalformedCase& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            ReadRecord(c.text);
            ADD_FAILURE() << "no error";
        } catch (const ProtocolError& error) {
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
        }
    }
}

// --- The transcript: units, prompts, answers.

namespace {

const char* const kFailedTranscript =
    "info:Scanning plugin: 'C:\\Plugins\\Gone.dll'\n"
    "info:Loading library...\n"
    "error:Failed to load library, err=126\n"
    ">:{\n"
    ">:  \"id\":        \"00000000\",\n"
    ">:  \"name\":      \"\",\n"
    ">:  \"vendor\":    \"\",\n"
    ">:  \"product\":   \"\",\n"
    ">:  \"version\":   \"\",\n"
    ">:  \"error\":     \"Failed to load library, err=126\",\n"
    ">:  \"numInputs\": 0,\n"
    ">:  \"numOutputs\":0,\n"
    ">:  \"wantsMidi\":  false,\n"
    ">:  \"sendsMidi\": false,\n"
    ">:  \"platform\":  \"x64\",\n"
    ">:  \"audio64\":   false,\n"
    ">:  \"category\":  -1,\n"
    ">:  \"synthEdit\": false,\n"
    ">:}\n"
    "ready:\n";

std::string Prefixed(const std::string& record) {
    std::string out;
    size_t start = 0;
    while (start < record.size()) {
        size_t end = record.find('\n', start);
        if (end == std::string::npos) end = record.size();
        out += ">:" + record.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return out;
}

}  // namespace

TEST(TranscriptTest, AnswersAreCutAtPromptsWhateverTheChunks) {
    const std::string banner = "info:Velmorant Plugin Scan Server (x64)\nready:\n";
    const std::string stream = banner + kFailedTranscript + "info:Scanning plugin: 'x'\n" + Prefixed(kEffect) + "ready:\n";
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{7}, size_t{64}, stream.size()}) {
        SCOPED_TRACE(chunk);
        TranscriptReader reader;
        std::vector<std::vector<Unit>> answers;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            reader.Append(std::string_view(stream).substr(at, chunk));
            std::vector<Unit> units;
            while (reader.TakeAnswer(units)) answers.push_back(units);
        }
        ASSERT_EQ(answers.size(), 3u);
        EXPECT_EQ(answers[0], (std::vector<Unit>{{"info", "Velmorant Plugin Scan Server (x64)"}}));

        Answer failed = ReadAnswer(answers[1]);
        EXPECT_TRUE(failed.failed);
        EXPECT_EQ(failed.errorText, "Failed to load library, err=126");
        EXPECT_EQ(failed.record.category, -1);
        EXPECT_EQ(failed.log.size(), 2u);

        Answer ok = ReadAnswer(answers[2]);
        EXPECT_FALSE(ok.failed);
        EXPECT_EQ(ok.record.name, "Demo Delay");
        EXPECT_TRUE(reader.Partial().empty());
    }
}

TEST(TranscriptTest, LinesWithoutALevelContinueTheUnitAndReadyInsideTextIsNoPrompt) {
    // A plug-in's text with line feeds, logged by the server: only the first line has a level.
    const std::string stream = "info:Query host can do: 'two\nlines ready:'\nready:x\n" + Prefixed(kEffect) + "ready:\n";
    TranscriptReader reader;
    reader.Append(stream);
    std::vector<Unit> units;
    ASSERT_TRUE(reader.TakeAnswer(units));
    EXPECT_EQ(units[0], (Unit{"info", "Query host can do: 'two\nlines ready:'\nready:x"}));
    EXPECT_EQ(ReadAnswer(units).record.name, "Demo Delay");
}

TEST(TranscriptTest, PartialOutputAndMissingRecords) {
    TranscriptReader reader;
    reader.Append("info:Scanning plugin: 'a.dll'\ninfo:Loading library...\ninfo:Calling entry po");
    std::vector<Unit> units;
    EXPECT_FALSE(reader.TakeAnswer(units));
    std::vector<Unit> partial = reader.Partial();
    ASSERT_EQ(partial.size(), 3u);
    EXPECT_EQ(LastLogText(partial), "Calling entry po");

    const std::vector<std::pair<std::string, std::string>> faults = {
        {"info:Finished\n", "prompted again without writing a result record"},
        {"stray text\n" + Prefixed(kEffect), "output without a level"},
        {Prefixed(kEffect) + Prefixed(kEffect), "after the end of the record"},
        {Prefixed(std::string(kEffect).substr(0, 200)), "truncated"},
    };
    for (const auto& [text, error] : faults) {
        SCOPED_TRACE(text);
        TranscriptReader faulty;
        faulty.Append(text + "ready:\n");
        ASSERT_TRUE(faulty.TakeAnswer(units));
        try {
            ReadAnswer(units);
            ADD_FAILURE() << "no error";
        } catch (const ProtocolError& e) {
            EXPECT_NE(std::string(e.what()).find(error), std::string::npos) << e.what();
        }
    }
}
