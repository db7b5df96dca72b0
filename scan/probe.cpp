#include "scan/probe.h"

#include <cstring>
#include <new>

#include "crash/crash_filter.h"
#include "scan/host_callback.h"
#include "scan/version_strings.h"
#include "server/output_channel.h"
#include "simple/containers.h"

// Declared again so that the compiler knows that execution can come back out of it a second
// time (when the effClose guard puts the captured context back), as with setjmp.
extern "C" __declspec(dllimport) __attribute__((returns_twice)) void WINAPI RtlCaptureContext(PCONTEXT context);

namespace {

// Plug-ins get text buffers of this size, terminator included.
constexpr int kTextBytes = 512;
// Room behind those bytes: some plug-ins write past 512 bytes, without a terminator; what
// they write there lands in memory that nothing else uses.
constexpr int kTextGuardBytes = 64 * 1024;
// A shell that never answers 0 is cut off after this many sub-plug-ins.
constexpr int kMaxShellPlugins = 100000;

// The one text buffer; the probe runs on one thread and hands out one buffer at a time.
char textBuffer[kTextBytes + kTextGuardBytes];

// A cleared buffer for the plug-in to write into; an answer without text is then empty.
char* FreshTextBuffer() {
    memset(textBuffer, 0, kTextBytes + 1);
    return textBuffer;
}

// The text the plug-in wrote, cut at 512 bytes whatever it wrote behind them.
const char* TakeText() {
    textBuffer[kTextBytes] = 0;
    return textBuffer;
}

// Every query goes out with CrashFilter installed: a filter that the plug-in installed in an
// earlier call would otherwise decide what a fault in this one does.
VstIntPtr Dispatch(AEffect* effect, VstInt32 opcode, void* ptr) {
    SetUnhandledExceptionFilter(CrashFilter);
    return effect->dispatcher(effect, opcode, 0, 0, ptr, 0.0f);
}

// Whether the effect claims the capability: only -1 means no, 0 ("don't know") counts as yes.
// The answer is read as 32 bits, like every answer of the interface.
bool CanDo(AEffect* effect, const char* capability) {
    return static_cast<VstInt32>(Dispatch(effect, effCanDo, const_cast<char*>(capability))) != -1;
}

bool Fail(CPluginInfo& info, const wchar_t* reason) {
    info.error.Assign(reason);
    return false;
}

VstEntryProc FindEntry(HMODULE module, const char* name) {
    // Through the generic function pointer type, which converts to any other without a warning.
    return reinterpret_cast<VstEntryProc>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

void EnumerateShell(AEffect* effect, CPluginInfo& info) {
    Simple::CMap<int, bool, Simple::SValue, Simple::SValue, int> seen;
    for (int listed = 0;; ++listed) {
        char* name = FreshTextBuffer();
        VstInt32 id = static_cast<VstInt32>(Dispatch(effect, effShellGetNextPlugin, name));
        if (id == 0) break;
        if (listed == kMaxShellPlugins) {
            LogWarn(L"Shell lists more than %i plugins, ignoring the rest\n", kMaxShellPlugins);
            break;
        }
        TakeText();
        LogInfo(L"Found shell: %.8X - %s\n", id, PluginTextForLog(name).GetData());
        if (seen.Find(id)) {
            LogInfo(L"   - duplicate, ignoring\n");
            continue;
        }
        seen.Set(id, true);
        CShellInfo* shell = new (std::nothrow) CShellInfo();
        if (!shell) continue;
        shell->id = id;
        shell->name = Simple::FromNarrow(name);
        if (!info.shells.Add(shell)) delete shell;
    }
}

// effClose is the one plug-in call whose faults are absorbed. There is no __try/__except here,
// so the guard is built from the platform's pieces: the registers are captured just before the
// call, and a top-level exception filter, installed only for the call, puts them back and
// continues there. A top-level filter sees only exceptions that no handler of the plug-in took,
// so the plug-in's own try/catch and exception handlers keep working (a vectored handler would
// see every first-chance exception, C++ throws included); and continuing through the system's
// dispatcher leaves no half-finished exception dispatch behind, so the process stays healthy.
// The plug-in's frames between the call and the fault are abandoned without unwinding: the
// effect is being destroyed anyway. A filter that the plug-in installs inside effClose replaces
// this one for the rest of the call.
struct SCloseGuard {
    CONTEXT context;         // the registers just before effClose
    AEffect* effect;
    volatile DWORD thread;   // the thread inside the guarded call; 0 outside it
    volatile bool faulted;
};
SCloseGuard closeGuard;

LONG WINAPI CloseGuardFilter(EXCEPTION_POINTERS* exception) {
    // A fault on another thread meanwhile is a crash like any other.
    if (GetCurrentThreadId() != closeGuard.thread) return CrashFilter(exception);
    closeGuard.faulted = true;
    // C++ exceptions of plug-ins built with the platform's compiler are raised as not
    // continuable; continuing one as it is would only raise a new exception.
    exception->ExceptionRecord->ExceptionFlags &= ~EXCEPTION_NONCONTINUABLE;
    *exception->ContextRecord = closeGuard.context;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Sends effClose; false when it faulted. Everything it uses lives in closeGuard, so nothing
// that the compiler keeps in registers changes between the capture and the return through it.
__attribute__((noinline)) bool CloseEffectGuarded(AEffect* effect) {
    closeGuard.effect = effect;
    closeGuard.faulted = false;
    closeGuard.thread = GetCurrentThreadId();
    RtlCaptureContext(&closeGuard.context);
    // After a fault execution arrives here a second time, with faulted set.
    if (!closeGuard.faulted) {
        SetUnhandledExceptionFilter(CloseGuardFilter);
        closeGuard.effect->dispatcher(closeGuard.effect, effClose, 0, 0, nullptr, 0.0f);
    }
    closeGuard.thread = 0;
    closeGuard.effect = nullptr;
    return !closeGuard.faulted;
}

}  // namespace

Simple::CUniString GetEffectString(AEffect* effect, VstInt32 opcode) {
    Dispatch(effect, opcode, FreshTextBuffer());
    return Simple::FromNarrow(TakeText());
}

bool ProbePlugin(HMODULE module, CPluginInfo& info) {
    LogInfo(L"Looking for entry point in module %p\n", module);
    if (GetProcAddress(module, "JBridgeBootstrap")) return Fail(info, L"Module is a jBridge bootstrap, ignoring");

    VstEntryProc entry = FindEntry(module, "VSTPluginMain");
    if (entry) {
        LogInfo(L"Found VSTPluginMain()\n");
    } else {
        entry = FindEntry(module, "main");
        if (!entry) return Fail(info, L"Entry point not found, not a VST plugin");
        LogInfo(L"Found main()\n");
    }

    wantMidiSeen = false;
    SetUnhandledExceptionFilter(CrashFilter);
    LogInfo(L"Calling entry point...\n");
    AEffect* effect = entry(HostCallback);
    SetUnhandledExceptionFilter(CrashFilter);
    if (!effect) return Fail(info, L"Entry point returned NULL");
    if (effect->magic != kEffectMagic) return Fail(info, L"Bad magic");

    SetUnhandledExceptionFilter(CrashFilter);
    info.synthEdit = FindResourceW(module, MAKEINTRESOURCEW(165), L"SE1") != nullptr;

    info.name = GetEffectString(effect, effGetEffectName);
    info.vendor = GetEffectString(effect, effGetVendorString);
    info.product = GetEffectString(effect, effGetProductString);

    info.id = effect->uniqueID;
    VstInt32 category = static_cast<VstInt32>(Dispatch(effect, effGetPlugCategory, nullptr));
    info.category = category;
    info.numInputs = effect->numInputs;
    info.numOutputs = effect->numOutputs;

    // Each second question is asked only when the first was answered with a plain no.
    info.wantsMidi = CanDo(effect, "receiveVstMidiEvent") || CanDo(effect, "receiveVstEvents") || wantMidiSeen;
    info.sendsMidi = CanDo(effect, "sendVstMidiEvent") || CanDo(effect, "sendVstEvents");
    info.audio64 = (effect->flags & effFlagsCanDoubleReplacing) != 0;
    info.version = VendorVersionToText(static_cast<int32_t>(Dispatch(effect, effGetVendorVersion, nullptr)));

    if (effect->flags & effFlagsIsSynth)
        info.category = kPlugCategSynth;
    else if (category == kPlugCategUnknown)
        info.category = info.numInputs != 0 ? kPlugCategEffect : kPlugCategSynth;

    if (info.category == kPlugCategShell) EnumerateShell(effect, info);

    LogInfo(L"Dispatching effClose...\n");
    CloseEffectGuarded(effect);
    SetUnhandledExceptionFilter(CrashFilter);
    return true;
}
