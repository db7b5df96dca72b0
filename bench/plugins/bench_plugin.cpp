// The benchmarks' own plug-ins, one source whose build settings choose what each DLL is:
//   bench-effect     a plain stereo effect with a version resource;
//   bench-shell      a shell of as many sub-plug-ins as BENCH_SHELL_SIZE says (default 1000),
//                    distinct ids in no particular order; a named sub-plug-in is a plain effect;
//   bench-no-entry   exports no entry point;
//   bench-bad-magic  returns an effect with the wrong magic number.
// They use no C++ runtime: a DLL that links the mingw C++ runtime keeps a heap block on every
// load that its unload does not give back, which would hide the server's own memory behaviour
// in the memory figures.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "scan/vst2.h"

#ifndef BENCH_MAGIC
#define BENCH_MAGIC kEffectMagic
#endif

namespace {

// An odd multiplier is a bijection on 32-bit values: distinct ids, scattered, never 0 below 2^32.
constexpr uint32_t kIdStep = 0x9E3779B1u;

struct SShell {
    int size;
    int next;  // the enumeration's position
};

[[maybe_unused]] int ShellSize() {
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
            free(shell);
            free(effect);
            return 0;
        case effGetEffectName:
            WriteText(ptr, shell ? "Bench Shell" : "Bench Effect");
            return 1;
        case effGetVendorString:
            WriteText(ptr, "Velmorant Bench");
            return 1;
        case effGetProductString:
            WriteText(ptr, "Bench Plug-ins");
            return 1;
        case effGetPlugCategory:
            return shell ? kPlugCategShell : kPlugCategEffect;
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

AEffect* Entry(audioMasterCallback host) {
    auto* effect = static_cast<AEffect*>(calloc(1, sizeof(AEffect)));
    if (!effect) return nullptr;
    effect->magic = BENCH_MAGIC;
    effect->dispatcher = Dispatcher;
    effect->numInputs = 2;
    effect->numOutputs = 2;
    effect->version = 1;
    effect->uniqueID = 0x42456666;  // 'BEff'
#ifdef BENCH_SHELL
    auto requested = static_cast<VstInt32>(host(nullptr, audioMasterCurrentId, 0, 0, nullptr, 0.0f));
    if (requested != 0) {
        effect->uniqueID = requested;
    } else {
        effect->uniqueID = 0x42536865;  // 'BShe'
        auto* shell = static_cast<SShell*>(calloc(1, sizeof(SShell)));
        if (!shell) {
            free(effect);
            return nullptr;
        }
        shell->size = ShellSize();
        effect->user = shell;
    }
#else
    (void)host;
#endif
    return effect;
}

}  // namespace

#ifndef BENCH_NO_ENTRY
extern "C" __declspec(dllexport) AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback host) { return Entry(host); }
#else
// Exported under another name, so that the module holds the same code without an entry point.
extern "C" __declspec(dllexport) void* BenchNothing() { return reinterpret_cast<void*>(&Entry); }
#endif
