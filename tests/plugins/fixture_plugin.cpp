// One VST 2.x plug-in whose behaviour each build chooses with compile definitions. Every
// fixture DLL is this source plus a few of the settings below; it uses only the VST header.
//
// Unless FIXTURE_QUIET is set, the plug-in reports every call it receives to the host as an
// audioMasterCanDo question ("trace: ..."), so the scan server's log shows the exact order of
// the probe's requests and their arguments.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "scan/vst2.h"

// ---- Settings, with the defaults of a plain stereo effect ---------------------------------

#ifndef FIXTURE_ID
#define FIXTURE_ID 0x46784566  // 'FxEf'
#endif
#ifndef FIXTURE_NAME
#define FIXTURE_NAME "Fixture Effect"
#endif
#ifndef FIXTURE_VENDOR
#define FIXTURE_VENDOR "Fixture Works"
#endif
#ifndef FIXTURE_PRODUCT
#define FIXTURE_PRODUCT "Fixture Suite"
#endif
#ifndef FIXTURE_CATEGORY
#define FIXTURE_CATEGORY kPlugCategEffect
#endif
#ifndef FIXTURE_FLAGS
#define FIXTURE_FLAGS 0
#endif
#ifndef FIXTURE_INPUTS
#define FIXTURE_INPUTS 2
#endif
#ifndef FIXTURE_OUTPUTS
#define FIXTURE_OUTPUTS 2
#endif
#ifndef FIXTURE_MAGIC
#define FIXTURE_MAGIC kEffectMagic
#endif
#ifndef FIXTURE_VENDOR_VERSION
#define FIXTURE_VENDOR_VERSION 0
#endif
// effCanDo answers: 1 yes, 0 don't know, -1 no.
#ifndef FIXTURE_CAN_RECEIVE_MIDI_EVENT
#define FIXTURE_CAN_RECEIVE_MIDI_EVENT -1
#endif
#ifndef FIXTURE_CAN_RECEIVE_EVENTS
#define FIXTURE_CAN_RECEIVE_EVENTS -1
#endif
#ifndef FIXTURE_CAN_SEND_MIDI_EVENT
#define FIXTURE_CAN_SEND_MIDI_EVENT -1
#endif
#ifndef FIXTURE_CAN_SEND_EVENTS
#define FIXTURE_CAN_SEND_EVENTS -1
#endif
// Flags without a value: FIXTURE_QUIET, FIXTURE_CALLS_WANT_MIDI, FIXTURE_ID_FROM_HOST, FIXTURE_ENTRY_RETURNS_NULL,
// FIXTURE_HIGH_BYTE_TEXTS, FIXTURE_511_BYTE_TEXTS, FIXTURE_OVERLONG_TEXTS,
// FIXTURE_SHELL_REPEATS, FIXTURE_SHELL_EMPTY, FIXTURE_SHELL_ENDLESS, FIXTURE_SHELL_NAMELESS,
// FIXTURE_SHELL_LINE_BREAKS,
// FIXTURE_SHELL_SINGLE, FIXTURE_SAMPLE_SHELL, FIXTURE_FAULT_IN_DLLMAIN, FIXTURE_FAULT_ON_UNLOAD,
// FIXTURE_FAULT_IN_ENTRY, FIXTURE_FAULT_IN_CLOSE, FIXTURE_FAULT_IN_THREAD, FIXTURE_OWN_FILTER,
// FIXTURE_CLOSE_CATCHES_OWN. FIXTURE_FAULT_IN_QUERY takes the opcode that faults.

#if defined(FIXTURE_SHELL_REPEATS) || defined(FIXTURE_SHELL_EMPTY) || defined(FIXTURE_SHELL_ENDLESS) || \
    defined(FIXTURE_SHELL_NAMELESS) || defined(FIXTURE_SHELL_LINE_BREAKS) || defined(FIXTURE_SHELL_SINGLE) || defined(FIXTURE_SAMPLE_SHELL)
#define FIXTURE_IS_SHELL 1
#endif

namespace {

audioMasterCallback host = nullptr;

[[maybe_unused]] void Fault() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

void Trace(AEffect* effect, const char* text) {
#ifdef FIXTURE_QUIET
    (void)effect;
    (void)text;
#else
    char question[600];
    snprintf(question, sizeof question, "trace: %s", text);
    host(effect, audioMasterCanDo, 0, 0, question, 0.0f);
#endif
}

// ---- Texts ---------------------------------------------------------------------------------

// Writes text the way a well-behaved plug-in does: with its terminator, within 512 bytes.
[[maybe_unused]] void WriteText(void* buffer, const char* text) { strcpy(static_cast<char*>(buffer), text); }

#if defined(FIXTURE_HIGH_BYTE_TEXTS)
// 40 bytes, every one above 127.
const char kName[] =
    "\xD8\xD9\xDA\xDB\xDC\xDD\xDE\xDF\xE0\xE1\xE2\xE3\xE4\xE5\xE6\xE7\xE8\xE9\xEA\xEB"
    "\xEC\xED\xEE\xEF\xF0\xF1\xF2\xF3\xF4\xF5\xF6\xF7\xF8\xF9\xFA\xFB\xFC\xFD\xFE\xFF";
const char kVendor[] = "Fa\xE7" "ade \x80\x81";
const char kProduct[] = "Caf\xE9";
#elif defined(FIXTURE_511_BYTE_TEXTS)
char kName[512];
char kVendor[512];
char kProduct[512];
#else
const char kName[] = FIXTURE_NAME;
const char kVendor[] = FIXTURE_VENDOR;
const char kProduct[] = FIXTURE_PRODUCT;
#endif

#if defined(FIXTURE_OVERLONG_TEXTS)
// Some plug-ins ignore the 512-byte limit and write without a terminator.
void WriteOverlong(void* buffer, char letter) { memset(buffer, letter, 2000); }
#endif

// ---- Shell ---------------------------------------------------------------------------------

struct SSubPlugin {
    VstInt32 id;
    const char* name;  // null: the plug-in writes no name at all
};

#if defined(FIXTURE_SHELL_REPEATS)
// The second answer of 0x5368A001 repeats an id with another name; the first one counts.
const SSubPlugin kSubPlugins[] = {
    {0x5368A001, "Shell Alpha"}, {0x1234B002, "Shell Beta"}, {0x5368A001, "Shell Alpha Again"}};
#elif defined(FIXTURE_SHELL_NAMELESS)
const SSubPlugin kSubPlugins[] = {{0x5368A001, "Shell Alpha"}, {0x1234B002, nullptr}};
#elif defined(FIXTURE_SHELL_LINE_BREAKS)
// A name that would end its log line and pass for the end of a record and a prompt.
const SSubPlugin kSubPlugins[] = {{0x5368A001, "Forged\n>:}\nready:"}};
#elif defined(FIXTURE_SHELL_SINGLE)
const SSubPlugin kSubPlugins[] = {{0x4F766572, "Overlong"}};
#elif defined(FIXTURE_SAMPLE_SHELL)
const SSubPlugin kSubPlugins[] = {{0x53614331, "Sample Bundle Reverb"}, {0x53614332, "Sample Bundle EQ"}};
#elif defined(FIXTURE_IS_SHELL)
const SSubPlugin kSubPlugins[] = {{0, nullptr}};
#endif

// A sub-plug-in of a shell keeps its entry in `object`; the shell itself keeps its enumeration
// position in `user`.
struct SShellState {
    int next = 0;
};

#ifdef FIXTURE_IS_SHELL
constexpr int kSubPluginCount = static_cast<int>(sizeof kSubPlugins / sizeof kSubPlugins[0]);

const SSubPlugin* FindSubPlugin(VstInt32 id) {
    for (const SSubPlugin& sub : kSubPlugins)
        if (sub.id == id && sub.id != 0) return &sub;
    return nullptr;
}

// Answers effShellGetNextPlugin: the next id, 0 at the end.
VstIntPtr NextSubPlugin(AEffect* effect, void* buffer) {
    int& next = static_cast<SShellState*>(effect->user)->next;
#if defined(FIXTURE_SHELL_ENDLESS)
    // Never ends: a new id every time.
    ++next;
    snprintf(static_cast<char*>(buffer), 512, "Endless %d", next);
    return 0x45000000 + next;
#elif defined(FIXTURE_SHELL_EMPTY)
    (void)next;
    (void)buffer;
    return 0;
#else
    if (next >= kSubPluginCount) return 0;
    const SSubPlugin& sub = kSubPlugins[next++];
#if defined(FIXTURE_OVERLONG_TEXTS)
    WriteOverlong(buffer, 'S');
#else
    if (sub.name) WriteText(buffer, sub.name);
#endif
    return sub.id;
#endif
}
#endif

// ---- The effect ----------------------------------------------------------------------------

void WriteEffectText(AEffect* effect, VstInt32 opcode, void* buffer) {
#if defined(FIXTURE_OVERLONG_TEXTS)
    (void)effect;
    WriteOverlong(buffer, opcode == effGetEffectName ? 'N' : opcode == effGetVendorString ? 'V' : 'P');
#else
#ifdef FIXTURE_IS_SHELL
    if (effect->object && opcode == effGetEffectName) {
        const char* name = static_cast<const SSubPlugin*>(effect->object)->name;
        WriteText(buffer, name ? name : "");
        return;
    }
#else
    (void)effect;
#endif
    WriteText(buffer, opcode == effGetEffectName ? kName : opcode == effGetVendorString ? kVendor : kProduct);
#endif
}

#ifdef FIXTURE_OWN_FILTER
LONG WINAPI OwnFilter(EXCEPTION_POINTERS*) {
    // A plug-in's own crash handling that would hide the crash from the host.
    TerminateProcess(GetCurrentProcess(), 42);
    return EXCEPTION_EXECUTE_HANDLER;
}
#endif

#ifdef FIXTURE_FAULT_IN_THREAD
DWORD WINAPI FaultingThread(void*) {
    Fault();
    return 0;
}
#endif

VstIntPtr CanDo(const char* question) {
    if (!strcmp(question, "receiveVstMidiEvent")) return FIXTURE_CAN_RECEIVE_MIDI_EVENT;
    if (!strcmp(question, "receiveVstEvents")) return FIXTURE_CAN_RECEIVE_EVENTS;
    if (!strcmp(question, "sendVstMidiEvent")) return FIXTURE_CAN_SEND_MIDI_EVENT;
    if (!strcmp(question, "sendVstEvents")) return FIXTURE_CAN_SEND_EVENTS;
    return -1;
}

// Describes one request for the trace: the opcode, the question of effCanDo, and anything
// the scan server is not expected to pass.
void TraceRequest(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
    char text[560];
    int length = snprintf(text, sizeof text, "opcode %d", static_cast<int>(opcode));
    bool textBuffer = opcode == effGetEffectName || opcode == effGetVendorString ||
                      opcode == effGetProductString || opcode == effShellGetNextPlugin;
    if (opcode == effCanDo && ptr)
        length += snprintf(text + length, sizeof text - length, " %.500s", static_cast<const char*>(ptr));
    else if (textBuffer && !ptr)
        length += snprintf(text + length, sizeof text - length, " without buffer");
    else if (textBuffer && static_cast<const char*>(ptr)[0] != 0)
        length += snprintf(text + length, sizeof text - length, " with a dirty buffer");
    else if (!textBuffer && ptr)
        length += snprintf(text + length, sizeof text - length, " with a pointer");
    if (index != 0 || value != 0 || opt != 0.0f) snprintf(text + length, sizeof text - length, " with arguments");
    Trace(effect, text);
}

VstIntPtr VSTCALLBACK Dispatcher(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                 float opt) {
    TraceRequest(effect, opcode, index, value, ptr, opt);
#ifdef FIXTURE_FAULT_IN_QUERY
    if (opcode == FIXTURE_FAULT_IN_QUERY) Fault();
#endif
    switch (opcode) {
        case effClose:
#ifdef FIXTURE_FAULT_IN_CLOSE
            Fault();
#endif
#ifdef FIXTURE_CLOSE_CATCHES_OWN
            // The plug-in's own exception handling inside effClose must keep working.
            try {
                throw 7;
            } catch (int) {
                Trace(effect, "caught its own exception");
            }
#endif
#ifdef FIXTURE_IS_SHELL
            delete static_cast<SShellState*>(effect->user);
#endif
            delete effect;
            return 0;
        case effGetEffectName:
        case effGetVendorString:
        case effGetProductString:
            WriteEffectText(effect, opcode, ptr);
            return 1;
        case effGetPlugCategory:
            return effect->user ? kPlugCategShell : FIXTURE_CATEGORY;
        case effGetVendorVersion:
            return FIXTURE_VENDOR_VERSION;
        case effCanDo:
            return CanDo(static_cast<const char*>(ptr));
#ifdef FIXTURE_IS_SHELL
        case effShellGetNextPlugin:
            return effect->user ? NextSubPlugin(effect, ptr) : 0;
#endif
        default:
            return 0;
    }
}

AEffect* Entry(audioMasterCallback callback, const char* exportName) {
    host = callback;
    Trace(nullptr, exportName);
    host(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f);
#ifdef FIXTURE_OWN_FILTER
    SetUnhandledExceptionFilter(OwnFilter);
#endif
#ifdef FIXTURE_FAULT_IN_ENTRY
    Fault();
#endif
#ifdef FIXTURE_FAULT_IN_THREAD
    // The thread faults while the entry point waits for it.
    HANDLE thread = CreateThread(nullptr, 0, FaultingThread, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
#endif
#ifdef FIXTURE_ENTRY_RETURNS_NULL
    return nullptr;
#endif

    AEffect* effect = new AEffect();
    effect->magic = FIXTURE_MAGIC;
    effect->dispatcher = Dispatcher;
    effect->numPrograms = 1;
    effect->numInputs = FIXTURE_INPUTS;
    effect->numOutputs = FIXTURE_OUTPUTS;
    effect->flags = FIXTURE_FLAGS;
    effect->uniqueID = FIXTURE_ID;
    effect->version = 1;

#ifdef FIXTURE_IS_SHELL
    // A shell creates the sub-plug-in the host names, or itself when none is named; an id it
    // does not hold gives no effect.
    VstInt32 requested = static_cast<VstInt32>(host(nullptr, audioMasterCurrentId, 0, 0, nullptr, 0.0f));
    if (requested != 0) {
        const SSubPlugin* sub = FindSubPlugin(requested);
        if (!sub) {
            delete effect;
            return nullptr;
        }
        effect->uniqueID = sub->id;
        effect->object = const_cast<SSubPlugin*>(sub);
    } else {
        effect->user = new SShellState();
    }
#endif
#ifdef FIXTURE_ID_FROM_HOST
    // Takes the id the host names as its own, so that the record shows what the host asked for.
    VstInt32 named = static_cast<VstInt32>(host(nullptr, audioMasterCurrentId, 0, 0, nullptr, 0.0f));
    if (named != 0) effect->uniqueID = named;
#endif
#ifdef FIXTURE_CALLS_WANT_MIDI
    host(effect, audioMasterWantMidi, 0, 1, nullptr, 0.0f);
#endif
    return effect;
}

}  // namespace

// The exports; the build's module definition file names which of them the DLL exports and
// under which names (VSTPluginMain, main, JBridgeBootstrap).
extern "C" AEffect* VSTCALLBACK FixtureVstPluginMain(audioMasterCallback callback) {
    return Entry(callback, "VSTPluginMain");
}
extern "C" AEffect* VSTCALLBACK FixtureMain(audioMasterCallback callback) { return Entry(callback, "main"); }
extern "C" int VSTCALLBACK FixtureBootstrap() { return 0; }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
#if defined(FIXTURE_511_BYTE_TEXTS)
        memset(kName, 'n', 511);
        memset(kVendor, 'v', 511);
        memset(kProduct, 'p', 511);
#endif
#ifdef FIXTURE_OWN_FILTER
        SetUnhandledExceptionFilter(OwnFilter);
#endif
#ifdef FIXTURE_FAULT_IN_DLLMAIN
        Fault();
#endif
    }
#ifdef FIXTURE_FAULT_ON_UNLOAD
    if (reason == DLL_PROCESS_DETACH) Fault();
#endif
    return TRUE;
}
