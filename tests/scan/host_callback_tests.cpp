#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "scan/host_callback.h"
#include "tests/support/output_capture.h"

namespace {

// The arguments the callback ignores get values that would show if it read them.
AEffect* const kEffect = reinterpret_cast<AEffect*>(0x5000);
constexpr VstInt32 kIndex = 77;
constexpr VstIntPtr kValue = 12345;
constexpr float kOpt = 0.5f;

VstIntPtr Call(VstInt32 opcode, void* ptr = nullptr) { return HostCallback(kEffect, opcode, kIndex, kValue, ptr, kOpt); }

std::string CallLine(VstInt32 opcode, const char* name) {
    return "info:Audio master callback: " + std::to_string(opcode) + " - " + (name ? name : "<unknown>") + "\n";
}

std::string WarnLine(VstInt32 opcode) { return "warn:Unhandled audioMaster opCode - " + std::to_string(opcode) + "\n"; }

using Units = std::vector<std::string>;

constexpr VstIntPtr kUnhandled = -999;  // marks a row the callback does not handle (answer 0)

struct SOpcodeCase {
    VstInt32 opcode;
    const char* name;  // null: logged as "<unknown>"
    VstIntPtr answer;
};

const SOpcodeCase kOpcodeCases[] = {
    {-1, nullptr, kUnhandled},
    {0, "audioMasterAutomate", 0},
    {1, "audioMasterVersion", 2400},
    {2, "audioMasterCurrentId", 0},
    {3, "audioMasterIdle", kUnhandled},
    {4, "audioMasterPinConnected", kUnhandled},
    {5, nullptr, kUnhandled},
    {6, "audioMasterWantMidi", 0},
    {7, "audioMasterGetTime", kUnhandled},
    {8, "audioMasterProcessEvents", kUnhandled},
    {9, "audioMasterSetTime", kUnhandled},
    {10, "audioMasterTempoAt", kUnhandled},
    {11, "audioMasterGetNumAutomatableParameters", kUnhandled},
    {12, "audioMasterGetParameterQuantization", kUnhandled},
    {13, "audioMasterIOChanged", kUnhandled},
    {14, "audioMasterNeedIdle", 1},
    {15, "audioMasterSizeWindow", kUnhandled},
    {16, "audioMasterGetSampleRate", 44100},
    {17, "audioMasterGetBlockSize", 512},
    {18, "audioMasterGetInputLatency", kUnhandled},
    {19, "audioMasterGetOutputLatency", kUnhandled},
    {20, "audioMasterGetPreviousPlug", kUnhandled},
    {21, "audioMasterGetNextPlug", kUnhandled},
    {22, "audioMasterWillReplaceOrAccumulate", kUnhandled},
    {23, "audioMasterGetCurrentProcessLevel", 4},
    {24, "audioMasterGetAutomationState", kUnhandled},
    {25, "audioMasterOfflineStart", kUnhandled},
    {26, "audioMasterOfflineRead", kUnhandled},
    {27, "audioMasterOfflineWrite", kUnhandled},
    {28, "audioMasterOfflineGetCurrentPass", kUnhandled},
    {29, "audioMasterOfflineGetCurrentMetaPass", kUnhandled},
    {30, "audioMasterSetOutputSampleRate", kUnhandled},
    {31, "audioMasterGetOutputSpeakerArrangement", kUnhandled},
    {32, "audioMasterGetVendorString", 1},
    {33, "audioMasterGetProductString", 1},
    {34, "audioMasterGetVendorVersion", 3},
    {35, "audioMasterVendorSpecific", kUnhandled},
    {36, "audioMasterSetIcon", kUnhandled},
    // 37, the capability query, logs a line of its own: see the capability tests.
    {38, "audioMasterGetLanguage", kUnhandled},
    {39, "audioMasterOpenWindow", kUnhandled},
    {40, "audioMasterCloseWindow", kUnhandled},
    {41, "audioMasterGetDirectory", kUnhandled},
    {42, "audioMasterUpdateDisplay", kUnhandled},
    {43, "audioMasterBeginEdit", kUnhandled},
    {44, "audioMasterEndEdit", kUnhandled},
    {45, "audioMasterOpenFileSelector", kUnhandled},
    {46, "audioMasterCloseFileSelector", kUnhandled},
    {47, "audioMasterEditFile", kUnhandled},
    {48, "audioMasterGetChunkFile", kUnhandled},
    {49, "audioMasterGetInputSpeakerArrangement", kUnhandled},
    {50, nullptr, kUnhandled},
    {1000000, nullptr, kUnhandled},
    {INT_MAX, nullptr, kUnhandled},
    {INT_MIN, nullptr, kUnhandled},
};

TEST(HostCallbackTest, EveryOpcodeIsLoggedAndAnswered) {
    requestedShellId = 0;
    for (const SOpcodeCase& c : kOpcodeCases) {
        SCOPED_TRACE("opcode " + std::to_string(c.opcode));
        char buffer[kVstMaxVendorStrLen] = {};
        bool handled = c.answer != kUnhandled;
        OutputCapture capture;
        ASSERT_TRUE(capture.ok());
        EXPECT_EQ(Call(c.opcode, buffer), handled ? c.answer : 0);
        Units expected = {CallLine(c.opcode, c.name)};
        if (!handled) expected.push_back(WarnLine(c.opcode));
        EXPECT_EQ(capture.Finish(), expected);
    }
}

TEST(HostCallbackTest, CapabilityQueryLogsOnlyItsQuestion) {
    struct SCase {
        const char* question;
        VstIntPtr answer;
        const char* logged;  // the unit on the channel
    } const cases[] = {
        {"sizeWindow", 1, "info:Query host can do: 'sizeWindow'\n"},
        {"sendVstEvents", 1, "info:Query host can do: 'sendVstEvents'\n"},
        {"sendVstMidiEvent", 1, "info:Query host can do: 'sendVstMidiEvent'\n"},
        {"sendVstTimeInfo", 1, "info:Query host can do: 'sendVstTimeInfo'\n"},
        {"supplyIdle", 1, "info:Query host can do: 'supplyIdle'\n"},
        {"receiveVstEvents", 1, "info:Query host can do: 'receiveVstEvents'\n"},
        {"receiveVstMidiEvent", 1, "info:Query host can do: 'receiveVstMidiEvent'\n"},
        {"startStopProcess", 1, "info:Query host can do: 'startStopProcess'\n"},
        {"sendVstMidiEventFlagIsRealtime", 1, "info:Query host can do: 'sendVstMidiEventFlagIsRealtime'\n"},
        {"shellCategory", 1, "info:Query host can do: 'shellCategory'\n"},
        {"SIZEWINDOW", 1, "info:Query host can do: 'SIZEWINDOW'\n"},
        {"ReceiveVstMidiEvent", 1, "info:Query host can do: 'ReceiveVstMidiEvent'\n"},
        {"offline", 0, "info:Query host can do: 'offline'\n"},
        {"sizeWindow2", 0, "info:Query host can do: 'sizeWindow2'\n"},
        {"sizeWindo", 0, "info:Query host can do: 'sizeWindo'\n"},
        {"", 0, "info:Query host can do: ''\n"},
        // 0xC9 and 0xE9 lose only their top bit to become 'I' and 'i': only A to Z fold.
        {"s\xC9zeWindow", 0, "info:Query host can do: 's\xC3\x89zeWindow'\n"},
        {"s\xE9zeWindow", 0, "info:Query host can do: 's\xC3\xA9zeWindow'\n"},
        // A question cannot break its log line: a forged record line and prompt stay inside it.
        {"x\n>:}\nready:\r\n", 0, "info:Query host can do: 'x?>:}?ready:?" "?'\n"},
        {"\tsizeWindow", 0, "info:Query host can do: '?sizeWindow'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.question);
        std::string question = c.question;  // writable, as a plug-in's own buffer would be
        OutputCapture capture;
        ASSERT_TRUE(capture.ok());
        EXPECT_EQ(Call(audioMasterCanDo, &question[0]), c.answer);
        EXPECT_EQ(capture.Finish(), Units{c.logged});
        EXPECT_EQ(question, c.question);
    }
}

TEST(HostCallbackTest, HostTextsAreCopiedWithTerminatorOnly) {
    struct SCase {
        VstInt32 opcode;
        const char* name;
        const char* text;
    } const cases[] = {
        {audioMasterGetVendorString, "audioMasterGetVendorString", "Marrowfen Software"},
        {audioMasterGetProductString, "audioMasterGetProductString", "Velmorant"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        OutputCapture capture;
        unsigned char buffer[96];
        memset(buffer, 0xAB, sizeof buffer);
        EXPECT_EQ(Call(c.opcode, buffer), 1);
        size_t length = strlen(c.text);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), c.text);
        EXPECT_EQ(buffer[length], 0);
        for (size_t i = length + 1; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0xAB) << "byte " << i;
        EXPECT_EQ(capture.Finish(), Units{CallLine(c.opcode, c.name)});
    }
}

TEST(HostCallbackTest, MissingBufferIsAnsweredZeroWithoutWriting) {
    struct SCase {
        VstInt32 opcode;
        const char* logged;
    } const cases[] = {
        {audioMasterGetVendorString, "info:Audio master callback: 32 - audioMasterGetVendorString\n"},
        {audioMasterGetProductString, "info:Audio master callback: 33 - audioMasterGetProductString\n"},
        {audioMasterCanDo, "info:Query host can do: '(null)'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.opcode);
        OutputCapture capture;
        ASSERT_TRUE(capture.ok());
        EXPECT_EQ(Call(c.opcode, nullptr), 0);
        EXPECT_EQ(capture.Finish(), Units{c.logged});
    }
}

TEST(HostCallbackTest, CurrentIdAnswersRequestedShellId) {
    const int32_t ids[] = {0x12345678, 0, static_cast<int32_t>(0x80000001u), 0x7FFFFFFF};
    for (int32_t id : ids) {
        SCOPED_TRACE(id);
        requestedShellId = id;
        OutputCapture capture;
        ASSERT_TRUE(capture.ok());
        VstIntPtr answer = Call(audioMasterCurrentId);
        EXPECT_EQ(answer, static_cast<VstIntPtr>(id));
        EXPECT_EQ(static_cast<VstInt32>(answer), id);
        EXPECT_EQ(capture.Finish(), Units{CallLine(2, "audioMasterCurrentId")});
    }
    requestedShellId = 0;
}

TEST(HostCallbackTest, WantMidiStaysSeenUntilCleared) {
    OutputCapture capture;
    ASSERT_TRUE(capture.ok());
    wantMidiSeen = false;
    Call(audioMasterVersion);
    Call(audioMasterCurrentId);
    EXPECT_FALSE(wantMidiSeen) << "only audioMasterWantMidi sets it";
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Call(audioMasterWantMidi), 0);
        EXPECT_TRUE(wantMidiSeen);
    }
    Call(audioMasterVersion);
    Call(audioMasterCanDo, const_cast<char*>("receiveVstMidiEvent"));
    EXPECT_TRUE(wantMidiSeen) << "no other call clears it";
    EXPECT_EQ(capture.Finish(), (Units{CallLine(1, "audioMasterVersion"), CallLine(2, "audioMasterCurrentId"),
                                       CallLine(6, "audioMasterWantMidi"), CallLine(6, "audioMasterWantMidi"),
                                       CallLine(6, "audioMasterWantMidi"), CallLine(1, "audioMasterVersion"),
                                       "info:Query host can do: 'receiveVstMidiEvent'\n"}));
    wantMidiSeen = false;
}

}  // namespace
