// The host side of the VST 2.x interface that plug-ins see while they are scanned: one
// callback that answers their requests as a minimal offline host, logs every call, and carries
// the state the scan request, the probe and the callback share for the probe in progress.
#pragma once

#include <cstdint>

#include "scan/vst2.h"

// One row of AudioMasterOpcodeNames.
struct SOpcodeName {
    int32_t opcode;
    const char* name;  // null in the closing row
};

// Names of the host opcodes 0 to 4 and 6 to 49 in ascending order, for the call log; the last
// row has no name.
extern const SOpcodeName AudioMasterOpcodeNames[];

constexpr int kHostCanDoCount = 10;
// Capability names the host claims, compared without regard to ASCII case.
extern const char* const HostCanDos[kHostCanDoCount];

// Id of the shell sub-plug-in the current request names, 0 when it names none or no probe
// runs; answered to audioMasterCurrentId.
extern int32_t requestedShellId;
// Set when the plug-in calls audioMasterWantMidi; the probe clears it before the entry point.
extern bool wantMidiSeen;

VstIntPtr VSTCALLBACK HostCallback(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                   float opt);
