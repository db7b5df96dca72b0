// The probe of one loaded plug-in module through the VST 2.x interface: entry point, effect,
// queries, shell sub-plug-ins, effClose.
#pragma once

#include <windows.h>

#include "scan/plugin_info.h"
#include "scan/vst2.h"
#include "simple/text.h"

// Fills info from the module's effect; false with info.error set when the module was refused
// (a bridge bootstrap, no entry point, no effect, bad magic). Never loads or frees the module.
bool ProbePlugin(HMODULE module, CPluginInfo& info);

// Asks the effect for one of its texts (effGetEffectName, effGetVendorString,
// effGetProductString); each byte of the answer becomes the code unit of the same value.
Simple::CUniString GetEffectString(AEffect* effect, VstInt32 opcode);
