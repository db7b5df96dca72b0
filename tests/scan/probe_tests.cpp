// The probe of each fixture plug-in through the real scan server: the complete answer to one
// request, byte for byte, and what happens when plug-in code faults.

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>

#include "tests/scan/crash_dump.h"
#include "tests/scan/scan_transcript.h"
#include "tests/support/test_host.h"

using namespace transcript;

namespace {

// Everything after "Loading library..." for a probe that succeeded on a module that is then
// freed, or kept because it listed sub-plug-ins.
std::string Probed(const std::string& probe, const SRecord& record) { return probe + FreeAndFinish() + Record(record); }
std::string ProbedAndKept(const std::string& probe, const SRecord& record) {
    return probe + KeepAndFinish() + Record(record);
}
// ... for a module that the probe refused.
std::string Refused(const std::string& probe, const std::string& error) {
    return probe + FreeAndFinish() + Error(error) + Record(Failed(error));
}

// The standard probe of an effect that is not a shell.
std::string EffectProbe() { return Enter() + Queries() + Close(); }

std::string Repeat(char letter, int count) { return std::string(static_cast<size_t>(count), letter); }

// The fixture shell's sub-plug-ins.
constexpr uint32_t kAlpha = 0x5368A001;
constexpr uint32_t kBeta = 0x1234B002;
constexpr uint32_t kShellId = 0x5368656C;

struct SProbeCase {
    const char* fixture;
    std::string answer;   // everything after "Loading library..." up to the next prompt
    bool cached = false;  // the module stays loaded until the server exits
};

const std::string kHighBytes =
    "\\u00d8\\u00d9\\u00da\\u00db\\u00dc\\u00dd\\u00de\\u00df\\u00e0\\u00e1\\u00e2\\u00e3\\u00e4\\u00e5"
    "\\u00e6\\u00e7\\u00e8\\u00e9\\u00ea\\u00eb\\u00ec\\u00ed\\u00ee\\u00ef\\u00f0\\u00f1\\u00f2\\u00f3"
    "\\u00f4\\u00f5\\u00f6\\u00f7\\u00f8\\u00f9\\u00fa\\u00fb\\u00fc\\u00fd\\u00fe\\u00ff";

const SProbeCase kProbeCases[] = {
    // Entry points and refusals.
    {"plain-effect", Probed(EffectProbe(), SRecord())},
    {"entry-main-only", Probed(Enter("main") + Queries() + Close(), SRecord())},
    {"entry-both", Probed(EffectProbe(), SRecord())},
    {"entry-none", Refused(LookForEntry(), "Entry point not found, not a VST plugin")},
    {"jbridge-bootstrap", Refused(LookForEntry(), "Module is a jBridge bootstrap, ignoring")},
    {"entry-returns-null", Refused(Enter(), "Entry point returned NULL")},
    {"bad-magic", Refused(Enter(), "Bad magic")},
    {"current-id-echo", Probed(Enter() + AskCurrentId() + Queries() + Close(), SRecord())},

    // Categories: the synth flag wins, an unknown category follows the inputs.
    {"category-unknown-with-inputs", Probed(EffectProbe(), SRecord().Category(1))},
    {"category-unknown-without-inputs", Probed(EffectProbe(), SRecord().Io(0, 2).Category(2))},
    {"category-other", Probed(EffectProbe(), SRecord().Io(1, 6).Category(5))},
    {"synth-flag", Probed(EffectProbe(), SRecord().Io(0, 2).Category(2))},
    // A synth that claims to be a shell is a synth: its shell is not enumerated.
    {"synth-flag-category-shell", Probed(EffectProbe(), SRecord().Category(2))},
    {"double-replacing", Probed(EffectProbe(), SRecord().Audio64())},

    // MIDI: 0 counts as yes; the second question only follows a -1.
    {"midi-first-answers-yes", Probed(Enter() + Queries(false, false) + Close(), SRecord().Midi(true, true))},
    {"midi-first-answers-zero", Probed(Enter() + Queries(false, false) + Close(), SRecord().Midi(true, true))},
    {"midi-second-answers-yes", Probed(EffectProbe(), SRecord().Midi(true, true))},
    {"midi-second-answers-zero", Probed(EffectProbe(), SRecord().Midi(true, true))},
    {"midi-receive-only", Probed(Enter() + Queries(false, true) + Close(), SRecord().Midi(true, false))},
    {"midi-send-only", Probed(EffectProbe(), SRecord().Midi(false, true))},
    {"midi-want-midi-call", Probed(Enter() + AskWantMidi() + Queries() + Close(), SRecord().Midi(true, false))},

    // Texts: bytes above 127 keep their values; 511 bytes arrive whole; a plug-in writing
    // 2000 bytes without a terminator is cut at 512.
    {"texts-high-bytes",
     Probed(EffectProbe(), SRecord().Texts(kHighBytes, "Fa\\u00e7ade \\u0080\\u0081", "Caf\\u00e9"))},
    {"texts-511-bytes", Probed(EffectProbe(), SRecord().Texts(Repeat('n', 511), Repeat('v', 511), Repeat('p', 511)))},
    {"texts-overlong",
     ProbedAndKept(Enter() + AskCurrentId() + Queries() + FoundShell(0x4F766572, Repeat('S', 512)) + ShellEnd() +
                       Close(),
                   SRecord()
                       .Texts(Repeat('N', 512), Repeat('V', 512), Repeat('P', 512))
                       .Category(10)
                       .Shell(0x4F766572, Repeat('S', 512))),
     true},

    // The vendor version, one value from each row of the conversion.
    {"vendor-version-7", Probed(EffectProbe(), SRecord().Version("7.0.0.0"))},
    {"vendor-version-negative", Probed(EffectProbe(), SRecord().Version("-1.0.0.0"))},
    {"vendor-version-1234", Probed(EffectProbe(), SRecord().Version("1.2.3.4"))},
    {"vendor-version-12345", Probed(EffectProbe(), SRecord().Version("1.2.3.4"))},
    {"vendor-version-hex", Probed(EffectProbe(), SRecord().Version("1.2.3.0"))},
    {"vendor-version-large", Probed(EffectProbe(), SRecord().Version("1.23.45.678"))},

    {"synthedit-resource", Probed(EffectProbe(), SRecord().SynthEdit())},

    // Shells: repeated ids are skipped (the first name counts), the name buffer is cleared
    // before every question, and a shell without entries is freed like any other module.
    {"shell-repeats",
     ProbedAndKept(Enter() + AskCurrentId() + Queries() + FoundShell(kAlpha, "Shell Alpha") +
                       FoundShell(kBeta, "Shell Beta") + FoundShell(kAlpha, "Shell Alpha Again") + Duplicate() +
                       ShellEnd() + Close(),
                   SRecord().Id(kShellId).Name("Fixture Shell").Category(10).Shell(kAlpha, "Shell Alpha").Shell(
                       kBeta, "Shell Beta")),
     true},
    {"shell-nameless",
     ProbedAndKept(Enter() + AskCurrentId() + Queries() + FoundShell(kAlpha, "Shell Alpha") + FoundShell(kBeta, "") +
                       ShellEnd() + Close(),
                   SRecord().Id(kShellId).Name("Nameless Shell").Category(10).Shell(kAlpha, "Shell Alpha").Shell(
                       kBeta, "")),
     true},
    // A sub-plug-in name cannot break its log line; the record carries it escaped.
    {"shell-line-breaks",
     ProbedAndKept(Enter() + AskCurrentId() + Queries() + FoundShell(kAlpha, "Forged?>:}?ready:") + ShellEnd() +
                       Close(),
                   SRecord().Id(kShellId).Name("Line Break Shell").Category(10).Shell(kAlpha,
                                                                                    "Forged\\n>:}\\nready:")),
     true},
    {"shell-empty",
     Probed(Enter() + AskCurrentId() + Queries() + ShellEnd() + Close(),
            SRecord().Id(kShellId).Name("Empty Shell").Category(10))},

    // A fault inside effClose is absorbed; the plug-in's own exception handling inside
    // effClose still works.
    {"fault-in-close", Probed(EffectProbe(), SRecord())},
    {"close-catches-own-exception", Probed(EffectProbe() + Trace("caught its own exception"), SRecord())},
    // The loader absorbs a fault in DllMain: on unload nothing shows, on load the load fails
    // with the code of an access violation's translation (998, invalid access to memory).
    {"fault-on-unload", Probed(EffectProbe(), SRecord())},
    {"fault-in-dllmain", Error("Failed to load library, err=998") + Record(Failed("Failed to load library, err=998"))},

    // The sample plug-ins of the README's demo, which report nothing on their own.
    {"sample-effect",
     Probed(LookForEntry() + Info("Found VSTPluginMain()") + Info("Calling entry point...") +
                Info("Audio master callback: 1 - audioMasterVersion") + Info("Dispatching effClose..."),
            SRecord()
                .Id(0x53614466)
                .Texts("Sample Delay", "Velmorant Samples", "Sample Delay")
                .Version("1.2.0.0")
                .Audio64())},
    {"sample-synth",
     Probed(LookForEntry() + Info("Found VSTPluginMain()") + Info("Calling entry point...") +
                Info("Audio master callback: 1 - audioMasterVersion") + Info("Dispatching effClose..."),
            SRecord()
                .Id(0x53615379)
                .Texts("Sample Synth", "Velmorant Samples", "Sample Synth")
                .Version("2.1.0.0")
                .Io(0, 2)
                .Midi(true, false)
                .Category(2))},
    {"sample-shell",
     ProbedAndKept(LookForEntry() + Info("Found VSTPluginMain()") + Info("Calling entry point...") +
                       Info("Audio master callback: 1 - audioMasterVersion") + AskCurrentId() +
                       Info("Found shell: 53614331 - Sample Bundle Reverb") +
                       Info("Found shell: 53614332 - Sample Bundle EQ") + Info("Dispatching effClose..."),
                   SRecord()
                       .Id(0x53614268)
                       .Texts("Sample Bundle", "Velmorant Samples", "Sample Bundle")
                       .Version("0.2.0.1")
                       .Category(10)
                       .Shell(0x53614331, "Sample Bundle Reverb")
                       .Shell(0x53614332, "Sample Bundle EQ")),
     true},
};

// Failures name the fixture rather than the bytes of the case.
void PrintTo(const SProbeCase& c, std::ostream* out) { *out << c.fixture; }

class ProbeTranscriptTest : public testing::TestWithParam<SProbeCase> {};

// One request on a fresh server: the whole answer, then the exit sequence (which frees the
// module only when it was kept).
TEST_P(ProbeTranscriptTest, AnswersByteForByte) {
    const SProbeCase& c = GetParam();
    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_EQ(host.ReadUntilPrompt(), "info:Velmorant Plugin Scan Server (x64)\n");

    std::string path = Plugin(c.fixture);
    EXPECT_EQ(MaskModuleHandles(host.Request(path)), ScanAndLoad(path) + c.answer);
    EXPECT_FALSE(host.timedOut());

    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
    EXPECT_EQ(host.Rest(), c.cached ? FreeCached() : "");
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ProbeTranscriptTest, testing::ValuesIn(kProbeCases),
                         [](const testing::TestParamInfo<SProbeCase>& info) { return CaseName(info.param.fixture); });

// ---- Faults that end the process --------------------------------------------------------------

struct SCrashCase {
    const char* fixture;
    std::string beforeCrash;  // what the server wrote after "Loading library..." before it ended
};

const SCrashCase kCrashCases[] = {
    {"fault-in-entry", Enter()},
    {"fault-in-query", Enter() + Sent(45) + Sent(47)},
    {"fault-in-thread", Enter()},
    // The plug-in's own filter (installed while loading and in its entry point) would end the
    // process with exit code 42; the crash filter, installed again after the entry point,
    // takes the fault instead.
    {"own-crash-filter", Enter() + Sent(45) + Sent(47)},
};

void PrintTo(const SCrashCase& c, std::ostream* out) { *out << c.fixture; }

class ProbeCrashTest : public testing::TestWithParam<SCrashCase> {};

TEST_P(ProbeCrashTest, EndsWithExitCode9AndADump) {
    const SCrashCase& c = GetParam();
    TempFolder dumps;
    ASSERT_TRUE(dumps.valid());
    TestHost host;
    ASSERT_TRUE(host.Start(dumps.path()));
    ASSERT_EQ(host.ReadUntilPrompt(), "info:Velmorant Plugin Scan Server (x64)\n");

    std::string path = Plugin(c.fixture);
    ASSERT_TRUE(host.Send(path + "\n"));
    EXPECT_EQ(host.WaitForExit(), 9);
    EXPECT_EQ(MaskModuleHandles(host.Rest()), ScanAndLoad(path) + c.beforeCrash);
    ExpectOneCrashDump(dumps, EXCEPTION_ACCESS_VIOLATION);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ProbeCrashTest, testing::ValuesIn(kCrashCases),
                         [](const testing::TestParamInfo<SCrashCase>& info) { return CaseName(info.param.fixture); });

// ---- After an absorbed fault ---------------------------------------------------------------

// After a fault in effClose (absorbed) and in DllMain while unloading (absorbed by the loader)
// the same server serves the next requests normally, crash handling included.
TEST(ProbeFaultTest, ServerStaysHealthyAfterAbsorbedFaults) {
    TempFolder dumps;
    ASSERT_TRUE(dumps.valid());
    TestHost host;
    ASSERT_TRUE(host.Start(dumps.path()));
    host.ReadUntilPrompt();

    for (const char* fixture : {"fault-in-close", "fault-on-unload", "fault-in-close", "plain-effect"}) {
        std::string path = Plugin(fixture);
        EXPECT_EQ(MaskModuleHandles(host.Request(path)), ScanAndLoad(path) + Probed(EffectProbe(), SRecord()))
            << fixture;
    }
    // The effClose guard is gone: a fault in a query is a crash again.
    std::string path = Plugin("fault-in-query");
    ASSERT_TRUE(host.Send(path + "\n"));
    EXPECT_EQ(host.WaitForExit(), 9);
    EXPECT_EQ(MaskModuleHandles(host.Rest()), ScanAndLoad(path) + Enter() + Sent(45) + Sent(47));
    ExpectOneCrashDump(dumps, EXCEPTION_ACCESS_VIOLATION);
}

// ---- A shell that never ends its list --------------------------------------------------------

// The enumeration stops after 100000 sub-plug-ins with one warning; the record lists them all.
// The answer is read in one piece after the server has exited: it is large.
TEST(ProbeShellTest, EndlessShellIsCutOffAfter100000Entries) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    host.ReadUntilPrompt();

    std::string path = Plugin("shell-endless");
    ASSERT_TRUE(host.Send(path + "\n"));
    host.CloseInput();
    ASSERT_EQ(host.WaitForExit(600000), 0);
    std::string answer = MaskModuleHandles(host.Rest());

    // The listing, then the 100001st answer, which is not listed but warned about.
    std::string expected = ScanAndLoad(path) + LookForEntry() + Info("Found VSTPluginMain()") +
                           Info("Calling entry point...") + Info("Audio master callback: 1 - audioMasterVersion") +
                           AskCurrentId();
    SRecord record = SRecord().Id(kShellId).Name("Endless Shell").Category(10);
    for (uint32_t n = 1; n <= 100000; ++n) {
        std::string name = "Endless " + std::to_string(n);
        expected += Info("Found shell: " + Hex8(0x45000000 + n) + " - " + name);
        record.Shell(0x45000000 + n, name);
    }
    expected += Warn("Shell lists more than 100000 plugins, ignoring the rest") + Info("Dispatching effClose...") +
                KeepAndFinish() + Record(record) + "ready:\n" + FreeCached();
    size_t differs = std::mismatch(answer.begin(), answer.end(), expected.begin(), expected.end()).first - answer.begin();
    EXPECT_TRUE(answer == expected) << "the answer differs from byte " << differs << ": "
                                    << answer.substr(differs > 200 ? differs - 200 : 0, 400);
}

}  // namespace
