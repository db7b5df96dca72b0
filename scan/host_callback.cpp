#include "scan/host_callback.h"

#include "server/output_channel.h"
#include "simple/text.h"

int32_t requestedShellId = 0;
bool wantMidiSeen = false;

const SOpcodeName AudioMasterOpcodeNames[] = {
    {audioMasterAutomate, "audioMasterAutomate"},
    {audioMasterVersion, "audioMasterVersion"},
    {audioMasterCurrentId, "audioMasterCurrentId"},
    {audioMasterIdle, "audioMasterIdle"},
    {audioMasterPinConnected, "audioMasterPinConnected"},
    {audioMasterWantMidi, "audioMasterWantMidi"},
    {audioMasterGetTime, "audioMasterGetTime"},
    {audioMasterProcessEvents, "audioMasterProcessEvents"},
    {audioMasterSetTime, "audioMasterSetTime"},
    {audioMasterTempoAt, "audioMasterTempoAt"},
    {audioMasterGetNumAutomatableParameters, "audioMasterGetNumAutomatableParameters"},
    {audioMasterGetParameterQuantization, "audioMasterGetParameterQuantization"},
    {audioMasterIOChanged, "audioMasterIOChanged"},
    {audioMasterNeedIdle, "audioMasterNeedIdle"},
    {audioMasterSizeWindow, "audioMasterSizeWindow"},
    {audioMasterGetSampleRate, "audioMasterGetSampleRate"},
    {audioMasterGetBlockSize, "audioMasterGetBlockSize"},
    {audioMasterGetInputLatency, "audioMasterGetInputLatency"},
    {audioMasterGetOutputLatency, "audioMasterGetOutputLatency"},
    {audioMasterGetPreviousPlug, "audioMasterGetPreviousPlug"},
    {audioMasterGetNextPlug, "audioMasterGetNextPlug"},
    {audioMasterWillReplaceOrAccumulate, "audioMasterWillReplaceOrAccumulate"},
    {audioMasterGetCurrentProcessLevel, "audioMasterGetCurrentProcessLevel"},
    {audioMasterGetAutomationState, "audioMasterGetAutomationState"},
    {audioMasterOfflineStart, "audioMasterOfflineStart"},
    {audioMasterOfflineRead, "audioMasterOfflineRead"},
    {audioMasterOfflineWrite, "audioMasterOfflineWrite"},
    {audioMasterOfflineGetCurrentPass, "audioMasterOfflineGetCurrentPass"},
    {audioMasterOfflineGetCurrentMetaPass, "audioMasterOfflineGetCurrentMetaPass"},
    {audioMasterSetOutputSampleRate, "audioMasterSetOutputSampleRate"},
    {audioMasterGetOutputSpeakerArrangement, "audioMasterGetOutputSpeakerArrangement"},
    {audioMasterGetVendorString, "audioMasterGetVendorString"},
    {audioMasterGetProductString, "audioMasterGetProductString"},
    {audioMasterGetVendorVersion, "audioMasterGetVendorVersion"},
    {audioMasterVendorSpecific, "audioMasterVendorSpecific"},
    {audioMasterSetIcon, "audioMasterSetIcon"},
    {audioMasterCanDo, "audioMasterCanDo"},
    {audioMasterGetLanguage, "audioMasterGetLanguage"},
    {audioMasterOpenWindow, "audioMasterOpenWindow"},
    {audioMasterCloseWindow, "audioMasterCloseWindow"},
    {audioMasterGetDirectory, "audioMasterGetDirectory"},
    {audioMasterUpdateDisplay, "audioMasterUpdateDisplay"},
    {audioMasterBeginEdit, "audioMasterBeginEdit"},
    {audioMasterEndEdit, "audioMasterEndEdit"},
    {audioMasterOpenFileSelector, "audioMasterOpenFileSelector"},
    {audioMasterCloseFileSelector, "audioMasterCloseFileSelector"},
    {audioMasterEditFile, "audioMasterEditFile"},
    {audioMasterGetChunkFile, "audioMasterGetChunkFile"},
    {audioMasterGetInputSpeakerArrangement, "audioMasterGetInputSpeakerArrangement"},
    {0, nullptr},
};

const char* const HostCanDos[kHostCanDoCount] = {
    "sizeWindow",
    "sendVstEvents",
    "sendVstMidiEvent",
    "sendVstTimeInfo",
    "supplyIdle",
    "receiveVstEvents",
    "receiveVstMidiEvent",
    "startStopProcess",
    "sendVstMidiEventFlagIsRealtime",
    "shellCategory",
};

namespace {

// The host this scan server presents: a VST 2.4 host processing offline.
constexpr VstIntPtr kHostVstVersion = 2400;
constexpr char kHostVendor[] = "Marrowfen Software";
constexpr char kHostProduct[] = "Velmorant";
constexpr VstIntPtr kHostVendorVersion = 3;
constexpr VstIntPtr kHostSampleRate = 44100;
constexpr VstIntPtr kHostBlockSize = 512;

const char* FindOpcodeName(VstInt32 opcode) {
    for (const SOpcodeName* row = AudioMasterOpcodeNames; row->name; ++row)
        if (row->opcode == opcode) return row->name;
    return nullptr;
}

// Only A to Z fold: plug-ins send ASCII names, and a locale could match other bytes to them.
char FoldAsciiCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualIgnoringAsciiCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (FoldAsciiCase(*a) != FoldAsciiCase(*b)) return false;
    return *a == *b;
}

// 0 means "don't know" to the plug-in; the host never answers -1.
VstIntPtr AnswerCanDo(const char* question) {
    // A null question asks for nothing.
    LogInfo(L"Query host can do: '%s'\n", question ? PluginTextForLog(question).GetData() : L"(null)");
    if (!question) return 0;
    for (const char* name : HostCanDos)
        if (EqualIgnoringAsciiCase(question, name)) return 1;
    return 0;
}

// Copies at most size - 1 characters and a terminator; bytes behind the terminator stay as
// they were. A plug-in that passes no buffer gets 0 instead of a write through null.
VstIntPtr CopyHostText(void* buffer, const char* text, int size) {
    if (!buffer) return 0;
    char* out = static_cast<char*>(buffer);
    int i = 0;
    for (; i < size - 1 && text[i]; ++i) out[i] = text[i];
    out[i] = 0;
    return 1;
}

}  // namespace

VstIntPtr VSTCALLBACK HostCallback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr, float) {
    if (opcode == audioMasterCanDo) return AnswerCanDo(static_cast<const char*>(ptr));

    if (const char* name = FindOpcodeName(opcode))
        LogInfo(L"Audio master callback: %i - %s\n", opcode, Simple::FromNarrow(name).GetData());
    else
        LogInfo(L"Audio master callback: %i - %s\n", opcode, L"<unknown>");

    switch (opcode) {
        case audioMasterAutomate: return 0;
        case audioMasterVersion: return kHostVstVersion;
        case audioMasterCurrentId: return requestedShellId;
        case audioMasterWantMidi: wantMidiSeen = true; return 0;
        case audioMasterNeedIdle: return 1;
        case audioMasterGetSampleRate: return kHostSampleRate;
        case audioMasterGetBlockSize: return kHostBlockSize;
        case audioMasterGetCurrentProcessLevel: return kVstProcessLevelOffline;
        case audioMasterGetVendorString: return CopyHostText(ptr, kHostVendor, kVstMaxVendorStrLen);
        case audioMasterGetProductString: return CopyHostText(ptr, kHostProduct, kVstMaxProductStrLen);
        case audioMasterGetVendorVersion: return kHostVendorVersion;
        default:
            // Not an error for the plug-in: 0 reads as "not supported".
            LogWarn(L"Unhandled audioMaster opCode - %i\n", opcode);
            return 0;
    }
}
