// A shell plug-in of any size, for timing the enumeration and the record at scale: it lists as
// many sub-plug-ins as the environment variable BENCH_SHELL_SIZE says (default 1000), with
// distinct ids in no particular order, and asks its host nothing but the sub-plug-in to create.
// A named sub-plug-in is a plain stereo effect with that id.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "scan/vst2.h"

namespace {

// An odd multiplier is a bijection on 32-bit values: distinct ids, scattered, never 0 below 2^32.
constexpr uint32_t kIdStep = 0x9E3779B1u;

struct SShell {
    int size = 0;
    int next = 0;  // the enumeration's position
};

int ShellSize() {
    char text[32] = {};
    DWORD length = GetEnvironmentVariableA("BENCH_SHELL_SIZE", text, sizeof text);
    if (length == 0 || length >= sizeof text) return 1000;
    int size = atoi(text);
    return size > 0 ? size : 0;
}

void WriteText(void* buffer, const char* text) { strcpy(static_cast<char*>(buffer), text); }

VstIntPtr VSTCALLBACK Dispatcher(AEffect* effect, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr, float) {
    auto* shell = static_cast<SShell*>(effect->user);
    switch (opcode) {
        case effClose:
            delete shell;
            delete effect;
            return 0;
        case effGetEffectName:
            WriteText(ptr, shell ? "Bench Shell" : "Bench Sub-Plugin");
            return 1;
        case effGetVendorString:
            WriteText(ptr, "Velmorant Bench");
            return 1;
        case effGetProductString:
            WriteText(ptr, "Bench Shell");
            return 1;
        case effGetPlugCategory:
            return shell ? kPlugCategShell : kPlugCategEffect;
        case effGetVendorVersion:
            return 1000;
        case effCanDo:
            return -1;
        case effShellGetNextPlugin:
            if (!shell || shell->next >= shell->size) return 0;
            ++shell->next;
            snprintf(static_cast<char*>(ptr), 512, "Bench Sub-Plugin %d", shell->next);
            return static_cast<VstInt32>(static_cast<uint32_t>(shell->next) * kIdStep);
        default:
            return 0;
    }
}

}  // namespace

extern "C" __declspec(dllexport) AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback host) {
    auto* effect = new AEffect();
    effect->magic = kEffectMagic;
    effect->dispatcher = Dispatcher;
    effect->numInputs = 2;
    effect->numOutputs = 2;
    effect->version = 1;
    auto requested = static_cast<VstInt32>(host(nullptr, audioMasterCurrentId, 0, 0, nullptr, 0.0f));
    if (requested != 0) {
        effect->uniqueID = requested;
    } else {
        effect->uniqueID = 0x42536865;  // 'BShe'
        auto* shell = new SShell();
        shell->size = ShellSize();
        effect->user = shell;
    }
    return effect;
}
