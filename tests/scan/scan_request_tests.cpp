// Scan requests through the real scan server: request parsing, the library cache across
// requests, load failures and the file-version fallback; every answer byte for byte.

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "tests/scan/scan_transcript.h"
#include "tests/support/test_host.h"

using namespace transcript;

namespace {

constexpr uint32_t kAlpha = 0x5368A001;
constexpr uint32_t kBeta = 0x1234B002;
constexpr uint32_t kShellId = 0x5368656C;

std::string EffectProbe() { return Enter() + Queries() + Close(); }

// The request line, then the cached module is freed before the new one is loaded.
std::string ScanFreeCachedAndLoad(const std::string& request) {
    return Info("Scanning plugin: '" + request + "'") + FreeCached() + Info("Loading library...");
}

std::string LoadFailed(const std::string& error) { return Error(error) + Record(Failed(error)); }

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

// The error code of the platform for a load of that path, as this process sees it.
DWORD LoadErrorOf(const wchar_t* path) {
    SetLastError(0);
    HMODULE module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    DWORD error = GetLastError();
    if (module) FreeLibrary(module);
    return error;
}

std::string StartServer(TestHost& host) {
    if (!host.Start()) return "server did not start";
    return host.ReadUntilPrompt();
}

const std::string kBanner = "info:Velmorant Plugin Scan Server (x64)\n";

// ---- Sequences of requests on one server -------------------------------------------------------

struct SStep {
    std::string request;
    std::string answer;  // everything up to the next prompt
};

struct SSequenceCase {
    const char* name;
    std::vector<SStep> steps;
    std::string atExit;  // what the exit sequence writes after the host closed the pipe
};

std::string ShellRequest() { return Plugin("shell-repeats"); }

// The shell fixture listed, and so kept.
SStep ListShell(const std::string& request, bool cachedBefore = false) {
    return {request,
            (cachedBefore ? ScanFreeCachedAndLoad(request) : ScanAndLoad(request)) + Enter() + AskCurrentId() +
                Queries() + FoundShell(kAlpha, "Shell Alpha") + FoundShell(kBeta, "Shell Beta") +
                FoundShell(kAlpha, "Shell Alpha Again") + Duplicate() + ShellEnd() + Close() + KeepAndFinish() +
                Record(SRecord().Id(kShellId).Name("Fixture Shell").Category(10).Shell(kAlpha, "Shell Alpha").Shell(
                    kBeta, "Shell Beta"))};
}

// One sub-plug-in of the cached shell, created through audioMasterCurrentId.
SStep SubPlugin(uint32_t id, const std::string& name) {
    std::string request = ShellRequest() + ">" + Hex8(id);
    return {request, ScanAndReuse(request) + Enter() + AskCurrentId() + Queries() + Close() + KeepAndFinish() +
                         Record(SRecord().Id(id).Name(name))};
}

std::vector<SSequenceCase> SequenceCases() {
    std::string shell = ShellRequest();
    std::string plain = Plugin("plain-effect");
    std::string missing = Narrow(TestHost::BinaryFolder()) + "\\plugins\\missing.dll";
    std::string unknownSub = shell + ">BAD";
    std::string directSub = shell + ">1234b002";
    return {
        // The shell's own request keeps it loaded; the requests for its sub-plug-ins re-use it,
        // are kept although they list nothing, and each creates the sub-plug-in it names. A
        // request for an id the shell does not hold fails and still keeps the module.
        {"ShellAndItsSubPluginsShareOneLoad",
         {ListShell(shell), SubPlugin(kAlpha, "Shell Alpha"), SubPlugin(kBeta, "Shell Beta"),
          {unknownSub, ScanAndReuse(unknownSub) + Enter() + AskCurrentId() + KeepAndFinish() +
                           LoadFailed("Entry point returned NULL")},
          SubPlugin(kAlpha, "Shell Alpha")},
         FreeCached()},
        // Re-using a cached shell lists it again.
        {"SamePathTwiceReusesTheModule",
         {ListShell(shell),
          {shell, ScanAndReuse(shell) + Enter() + AskCurrentId() + Queries() + FoundShell(kAlpha, "Shell Alpha") +
                      FoundShell(kBeta, "Shell Beta") + FoundShell(kAlpha, "Shell Alpha Again") + Duplicate() +
                      ShellEnd() + Close() + KeepAndFinish() +
                      Record(SRecord().Id(kShellId).Name("Fixture Shell").Category(10).Shell(kAlpha, "Shell Alpha").Shell(
                          kBeta, "Shell Beta"))}},
         FreeCached()},
        // The path is compared code unit by code unit: other letter case loads anew.
        {"OtherLetterCaseLoadsAnew", {ListShell(shell), ListShell(Upper(shell), true)}, FreeCached()},
        {"AnotherPathFreesTheCachedModule",
         {ListShell(shell),
          {plain, ScanFreeCachedAndLoad(plain) + EffectProbe() + FreeAndFinish() + Record(SRecord())}},
         ""},
        {"FailedLoadWhileCachedLeavesTheCacheEmpty",
         {ListShell(shell),
          {missing, ScanFreeCachedAndLoad(missing) + LoadFailed("Failed to load library, err=126")},
          {plain, ScanAndLoad(plain) + EffectProbe() + FreeAndFinish() + Record(SRecord())}},
         ""},
        // A module without sub-plug-ins is freed at the end of its own request.
        {"EffectIsFreedAfterEachRequest",
         {{plain, ScanAndLoad(plain) + EffectProbe() + FreeAndFinish() + Record(SRecord())},
          {plain, ScanAndLoad(plain) + EffectProbe() + FreeAndFinish() + Record(SRecord())}},
         ""},
        // A sub-plug-in named in the first request for its module: loaded, created, freed.
        {"SubPluginOfAShellThatIsNotCached",
         {{directSub, ScanAndLoad(directSub) + Enter() + AskCurrentId() + Queries() + Close() + FreeAndFinish() +
                          Record(SRecord().Id(kBeta).Name("Shell Beta"))}},
         ""},
        // audioMasterWantMidi counts for the probe in which it was called only.
        {"WantMidiDoesNotCarryOver",
         {{Plugin("midi-want-midi-call"), ScanAndLoad(Plugin("midi-want-midi-call")) + Enter() + AskWantMidi() +
                                              Queries() + Close() + FreeAndFinish() +
                                              Record(SRecord().Midi(true, false))},
          {plain, ScanAndLoad(plain) + EffectProbe() + FreeAndFinish() + Record(SRecord())}},
         ""},
    };
}

// Failures name the case rather than the bytes of it.
void PrintTo(const SSequenceCase& c, std::ostream* out) { *out << c.name; }

class ScanSequenceTest : public testing::TestWithParam<SSequenceCase> {};

TEST_P(ScanSequenceTest, AnswersEachRequestThenFreesOnExit) {
    const SSequenceCase& c = GetParam();
    TestHost host;
    ASSERT_EQ(StartServer(host), kBanner);
    for (const SStep& step : c.steps) {
        EXPECT_EQ(MaskModuleHandles(host.Request(step.request)), step.answer) << step.request;
        ASSERT_FALSE(host.timedOut()) << step.request;
    }
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
    EXPECT_EQ(host.Rest(), c.atExit);
}

INSTANTIATE_TEST_SUITE_P(Cache, ScanSequenceTest, testing::ValuesIn(SequenceCases()),
                         [](const testing::TestParamInfo<SSequenceCase>& info) { return std::string(info.param.name); });

// ---- Request parsing ---------------------------------------------------------------------------

struct SSuffixCase {
    const char* name;
    const char* suffix;  // after the module path
    uint32_t id;         // the shell id the plug-in is asked to create; 0 for none
};

const SSuffixCase kSuffixCases[] = {
    {"NoSuffix", "", 0},
    {"MarkerWithoutDigits", ">", 0},
    {"MixedCaseDigits", ">5a3B7c", 0x5A3B7C},
    {"DigitsEndAtASpace", ">1A2B zz", 0x1A2B},
    {"NineDigitsKeepTheLastEight", ">123456789", 0x23456789},
    {"NoLeadingDigit", ">x12", 0},
    {"SecondMarkerEndsTheDigits", ">12>34", 0x12},
    {"TopBitSet", ">FfFfFfFe", 0xFFFFFFFE},
};

void PrintTo(const SSuffixCase& c, std::ostream* out) { *out << c.name; }

class ScanRequestSuffixTest : public testing::TestWithParam<SSuffixCase> {};

// The fixture takes the id it is asked to create as its own, so the record shows the parsed
// id; without one it keeps its own. The log shows the request with its suffix.
TEST_P(ScanRequestSuffixTest, ParsesTheShellId) {
    const SSuffixCase& c = GetParam();
    TestHost host;
    ASSERT_EQ(StartServer(host), kBanner);
    std::string request = Plugin("current-id-echo") + c.suffix;
    SRecord record;
    if (c.id != 0) record.Id(c.id);
    EXPECT_EQ(MaskModuleHandles(host.Request(request)),
              ScanAndLoad(request) + Enter() + AskCurrentId() + Queries() + Close() + FreeAndFinish() + Record(record));
}

INSTANTIATE_TEST_SUITE_P(Requests, ScanRequestSuffixTest, testing::ValuesIn(kSuffixCases),
                         [](const testing::TestParamInfo<SSuffixCase>& info) { return std::string(info.param.name); });

// ---- Load failures --------------------------------------------------------------------------

// A module that cannot be loaded: the platform's code at level "error", then the record with
// the same text; nothing else of the scan happens and the server goes on.
TEST(ScanRequestLoadTest, FailedLoadsReportThePlatformCode) {
    TestHost host;
    ASSERT_EQ(StartServer(host), kBanner);
    std::string plugins = Narrow(TestHost::BinaryFolder()) + "\\plugins\\";
    DWORD emptyPathError = LoadErrorOf(L"");
    struct {
        std::string request;
        DWORD error;
    } cases[] = {
        {plugins + "missing.dll", 126},
        // A leading marker leaves an empty path.
        {">" + Plugin("plain-effect"), emptyPathError},
        {"", emptyPathError},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(host.Request(c.request),
                  ScanAndLoad(c.request) + LoadFailed("Failed to load library, err=" + std::to_string(c.error)))
            << c.request;
    }
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
    EXPECT_EQ(host.Rest(), "");
}

// ---- The file's version as the fallback ------------------------------------------------------

struct SVersionCase {
    const char* fixture;
    const char* version;
};

const SVersionCase kVersionCases[] = {
    // Vendor version 0: the product version of the file...
    {"file-version-product", "2.1.0.5"},
    // ... or its file version when the product version is zero...
    {"file-version-file-only", "1.0.0.3"},
    // ... or nothing when both are zero, when the fixed part is shorter than the record, or
    // when there is no version resource at all.
    {"file-version-zero", ""},
    {"file-version-short-fixed-part", ""},
    {"plain-effect", ""},
    // The plug-in's own version wins over the file's.
    {"file-version-vendor-wins", "1.2.3.4"},
};

void PrintTo(const SVersionCase& c, std::ostream* out) { *out << c.fixture; }

class ScanRequestVersionTest : public testing::TestWithParam<SVersionCase> {};

TEST_P(ScanRequestVersionTest, FallsBackToTheFileVersion) {
    const SVersionCase& c = GetParam();
    TestHost host;
    ASSERT_EQ(StartServer(host), kBanner);
    std::string path = Plugin(c.fixture);
    EXPECT_EQ(MaskModuleHandles(host.Request(path)),
              ScanAndLoad(path) + EffectProbe() + FreeAndFinish() + Record(SRecord().Version(c.version)));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ScanRequestVersionTest, testing::ValuesIn(kVersionCases),
                         [](const testing::TestParamInfo<SVersionCase>& info) { return CaseName(info.param.fixture); });

}  // namespace
