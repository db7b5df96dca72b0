// The VST 2.x plug-in interface as the scan server uses it, written from the documented
// member offsets and opcode numbers: the effect structure, the entry-point, dispatcher and
// callback types, and named constants for the opcodes, flags and categories.
#pragma once

#include <cstddef>
#include <cstdint>

// The interface's calling convention: the caller removes the arguments (cdecl on x86; x64
// has one convention).
#define VSTCALLBACK __cdecl

typedef int32_t VstInt32;
typedef intptr_t VstIntPtr;  // 32 bits in the x86 build, 64 in the x64 build

struct AEffect;

typedef VstIntPtr(VSTCALLBACK* audioMasterCallback)(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                                     VstIntPtr value, void* ptr, float opt);
typedef VstIntPtr(VSTCALLBACK* AEffectDispatcherProc)(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                                       VstIntPtr value, void* ptr, float opt);
typedef void(VSTCALLBACK* AEffectProcessProc)(AEffect* effect, float** inputs, float** outputs,
                                              VstInt32 sampleFrames);
typedef void(VSTCALLBACK* AEffectSetParameterProc)(AEffect* effect, VstInt32 index, float parameter);
typedef float(VSTCALLBACK* AEffectGetParameterProc)(AEffect* effect, VstInt32 index);

// The plug-in's exported entry point ("VSTPluginMain" or "main").
typedef AEffect*(VSTCALLBACK* VstEntryProc)(audioMasterCallback host);

// "VstP" read as a big-endian number.
constexpr VstInt32 kEffectMagic = 0x56737450;

struct AEffect {
    VstInt32 magic;                        // kEffectMagic
    AEffectDispatcherProc dispatcher;      // every host request goes through here
    AEffectProcessProc process;            // accumulating processing (not used by the scan)
    AEffectSetParameterProc setParameter;
    AEffectGetParameterProc getParameter;
    VstInt32 numPrograms;
    VstInt32 numParams;
    VstInt32 numInputs;                    // audio inputs
    VstInt32 numOutputs;                   // audio outputs
    VstInt32 flags;                        // effFlags* bits
    VstIntPtr resvd1;
    VstIntPtr resvd2;
    VstInt32 initialDelay;
    VstInt32 realQualities;
    VstInt32 offQualities;
    float ioRatio;
    void* object;                          // the plug-in's own object
    void* user;                            // free for the host
    VstInt32 uniqueID;                     // the plug-in's id, four characters by convention
    VstInt32 version;
    // The structure continues in real plug-ins; the scan server reads nothing past here and
    // never allocates one itself.
};

#if defined(_WIN64)
static_assert(offsetof(AEffect, magic) == 0, "AEffect layout");
static_assert(offsetof(AEffect, dispatcher) == 8, "AEffect layout");
static_assert(offsetof(AEffect, process) == 16, "AEffect layout");
static_assert(offsetof(AEffect, setParameter) == 24, "AEffect layout");
static_assert(offsetof(AEffect, getParameter) == 32, "AEffect layout");
static_assert(offsetof(AEffect, numPrograms) == 40, "AEffect layout");
static_assert(offsetof(AEffect, numParams) == 44, "AEffect layout");
static_assert(offsetof(AEffect, numInputs) == 48, "AEffect layout");
static_assert(offsetof(AEffect, numOutputs) == 52, "AEffect layout");
static_assert(offsetof(AEffect, flags) == 56, "AEffect layout");
static_assert(offsetof(AEffect, resvd1) == 64, "AEffect layout");
static_assert(offsetof(AEffect, resvd2) == 72, "AEffect layout");
static_assert(offsetof(AEffect, initialDelay) == 80, "AEffect layout");
static_assert(offsetof(AEffect, realQualities) == 84, "AEffect layout");
static_assert(offsetof(AEffect, offQualities) == 88, "AEffect layout");
static_assert(offsetof(AEffect, ioRatio) == 92, "AEffect layout");
static_assert(offsetof(AEffect, object) == 96, "AEffect layout");
static_assert(offsetof(AEffect, user) == 104, "AEffect layout");
static_assert(offsetof(AEffect, uniqueID) == 112, "AEffect layout");
static_assert(offsetof(AEffect, version) == 116, "AEffect layout");
#else
static_assert(offsetof(AEffect, magic) == 0, "AEffect layout");
static_assert(offsetof(AEffect, dispatcher) == 4, "AEffect layout");
static_assert(offsetof(AEffect, process) == 8, "AEffect layout");
static_assert(offsetof(AEffect, setParameter) == 12, "AEffect layout");
static_assert(offsetof(AEffect, getParameter) == 16, "AEffect layout");
static_assert(offsetof(AEffect, numPrograms) == 20, "AEffect layout");
static_assert(offsetof(AEffect, numParams) == 24, "AEffect layout");
static_assert(offsetof(AEffect, numInputs) == 28, "AEffect layout");
static_assert(offsetof(AEffect, numOutputs) == 32, "AEffect layout");
static_assert(offsetof(AEffect, flags) == 36, "AEffect layout");
static_assert(offsetof(AEffect, resvd1) == 40, "AEffect layout");
static_assert(offsetof(AEffect, resvd2) == 44, "AEffect layout");
static_assert(offsetof(AEffect, initialDelay) == 48, "AEffect layout");
static_assert(offsetof(AEffect, realQualities) == 52, "AEffect layout");
static_assert(offsetof(AEffect, offQualities) == 56, "AEffect layout");
static_assert(offsetof(AEffect, ioRatio) == 60, "AEffect layout");
static_assert(offsetof(AEffect, object) == 64, "AEffect layout");
static_assert(offsetof(AEffect, user) == 68, "AEffect layout");
static_assert(offsetof(AEffect, uniqueID) == 72, "AEffect layout");
static_assert(offsetof(AEffect, version) == 76, "AEffect layout");
#endif

// Flags bits of AEffect::flags.
enum : VstInt32 {
    effFlagsIsSynth = 1 << 8,               // an instrument: its category is always synth
    effFlagsCanDoubleReplacing = 1 << 12,   // processes 64-bit floating-point audio
};

// Requests the host sends through the dispatcher. The scan sends only these.
enum : VstInt32 {
    effOpen = 0,                // never sent by the scan server
    effClose = 1,               // destroys the effect; the last call
    effGetPlugCategory = 35,    // result: a kPlugCateg* value
    effGetEffectName = 45,      // ptr: text buffer, result ignored
    effGetVendorString = 47,    // ptr: text buffer, result ignored
    effGetProductString = 48,   // ptr: text buffer, result ignored
    effGetVendorVersion = 49,   // result: the plug-in's version number
    effCanDo = 51,              // ptr: capability name; result 1 yes, 0 don't know, -1 no
    effShellGetNextPlugin = 70, // ptr: name buffer; result: next sub-plug-in id, 0 at the end
};

// Plug-in categories (effGetPlugCategory).
enum : VstInt32 {
    kPlugCategUnknown = 0,
    kPlugCategEffect = 1,
    kPlugCategSynth = 2,
    kPlugCategShell = 10,
};

// Requests plug-ins send to the host callback; names for the log come from a table.
enum : VstInt32 {
    audioMasterAutomate = 0,
    audioMasterVersion = 1,                 // result: the host's VST version
    audioMasterCurrentId = 2,               // result: the shell sub-plug-in id to create
    audioMasterIdle = 3,
    audioMasterPinConnected = 4,
    audioMasterWantMidi = 6,                // the plug-in wants MIDI input
    audioMasterGetTime = 7,
    audioMasterProcessEvents = 8,
    audioMasterSetTime = 9,
    audioMasterTempoAt = 10,
    audioMasterGetNumAutomatableParameters = 11,
    audioMasterGetParameterQuantization = 12,
    audioMasterIOChanged = 13,
    audioMasterNeedIdle = 14,
    audioMasterSizeWindow = 15,
    audioMasterGetSampleRate = 16,
    audioMasterGetBlockSize = 17,
    audioMasterGetInputLatency = 18,
    audioMasterGetOutputLatency = 19,
    audioMasterGetPreviousPlug = 20,
    audioMasterGetNextPlug = 21,
    audioMasterWillReplaceOrAccumulate = 22,
    audioMasterGetCurrentProcessLevel = 23,
    audioMasterGetAutomationState = 24,
    audioMasterOfflineStart = 25,
    audioMasterOfflineRead = 26,
    audioMasterOfflineWrite = 27,
    audioMasterOfflineGetCurrentPass = 28,
    audioMasterOfflineGetCurrentMetaPass = 29,
    audioMasterSetOutputSampleRate = 30,
    audioMasterGetOutputSpeakerArrangement = 31,
    audioMasterGetVendorString = 32,        // ptr: 64-byte buffer for the host's vendor
    audioMasterGetProductString = 33,       // ptr: 64-byte buffer for the host's product
    audioMasterGetVendorVersion = 34,
    audioMasterVendorSpecific = 35,
    audioMasterSetIcon = 36,
    audioMasterCanDo = 37,                  // ptr: capability name; result 1 yes, 0 don't know
    audioMasterGetLanguage = 38,
    audioMasterOpenWindow = 39,
    audioMasterCloseWindow = 40,
    audioMasterGetDirectory = 41,
    audioMasterUpdateDisplay = 42,
    audioMasterBeginEdit = 43,
    audioMasterEndEdit = 44,
    audioMasterOpenFileSelector = 45,
    audioMasterCloseFileSelector = 46,
    audioMasterEditFile = 47,
    audioMasterGetChunkFile = 48,
    audioMasterGetInputSpeakerArrangement = 49,
};

constexpr int kVstMaxVendorStrLen = 64;   // buffers for audioMasterGetVendorString
constexpr int kVstMaxProductStrLen = 64;  // buffers for audioMasterGetProductString

// Offline processing level, answered to audioMasterGetCurrentProcessLevel.
constexpr VstInt32 kVstProcessLevelOffline = 4;
