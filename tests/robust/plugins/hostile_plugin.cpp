// Plug-ins that misbehave the way real ones do: each build chooses one misbehaviour with a
// HOSTILE_* definition; without one it is a plain, well-behaved stereo effect. Only the VST
// header is used, never the scan server's code.
//
// HOSTILE_TEXT_OVERRUN      writes far past the 512-byte text buffers, without a terminator,
//                           in every text query and in its shell list
// HOSTILE_SHELL_LOOPS       a shell whose list never ends: three ids, over and over
// HOSTILE_THREADS           calls the host from threads of its own from the entry point until
//                           the product query, checks every answer it gets there and reports
//                           the count of wrong ones as its product text
// HOSTILE_ERROR_MODE        reports the process error mode it finds, then clears it
// HOSTILE_FILTER_IN_QUERY   installs its own unhandled-exception filter in one query and faults
//                           in a later one
// HOSTILE_EXIT_PROCESS      calls ExitProcess in a query
// HOSTILE_TERMINATE_PROCESS calls TerminateProcess on its own process in the entry point
// HOSTILE_MESSAGE_BOX       shows a message box in the entry point
// HOSTILE_STACK_OVERFLOW    recurses without end in a query
// HOSTILE_THROW_IN_QUERY    lets a C++ exception of its own compiler leave a query
// HOSTILE_THROW_IN_CLOSE    the same from effClose
// HOSTILE_RAISE_IN_QUERY    lets a C++ exception leave a query the way plug-ins built with the
//                           platform's own compiler do (the exception code 0xE06D7363)
// HOSTILE_RAISE_IN_CLOSE    the same from effClose
// HOSTILE_FORGES_LINES      puts line feeds and whole protocol lines (a record, a prompt) into
//                           the texts that the host logs: a capability question and a shell
//                           entry's name
// HOSTILE_DLLMAIN_FAILS     DllMain refuses to load
// HOSTILE_WAITS_FOR_HOST    a one-entry shell that tells the test when its entry point runs and
//                           waits there until the test lets it go (both through named objects
//                           that the test creates; without them it runs straight through)

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "scan/vst2.h"

#ifndef HOSTILE_NAME
#define HOSTILE_NAME "Hostile Fixture"
#endif

#if defined(HOSTILE_TEXT_OVERRUN) || defined(HOSTILE_SHELL_LOOPS) || defined(HOSTILE_WAITS_FOR_HOST) || \
    defined(HOSTILE_FORGES_LINES)
#define HOSTILE_IS_SHELL 1
#endif

namespace {

constexpr VstInt32 kId = 0x48737431;  // 'Hst1'
audioMasterCallback host = nullptr;

VstIntPtr Ask(AEffect* effect, VstInt32 opcode, void* ptr = nullptr) {
    return host(effect, opcode, 0, 0, ptr, 0.0f);
}

[[maybe_unused]] void Fault() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

// ---- Texts -----------------------------------------------------------------------------------

#ifdef HOSTILE_TEXT_OVERRUN
// Far past the 512 bytes the host offers, and without a terminator.
constexpr size_t kOverrunBytes = 32 * 1024;
void WriteText(void* buffer, const char* text) { memset(buffer, text[0], kOverrunBytes); }
#else
void WriteText(void* buffer, const char* text) { strcpy(static_cast<char*>(buffer), text); }
#endif

char effectName[64] = HOSTILE_NAME;

// ---- Shell -----------------------------------------------------------------------------------

#ifdef HOSTILE_IS_SHELL
struct SSubPlugin {
    VstInt32 id;
    const char* name;
};
#if defined(HOSTILE_TEXT_OVERRUN)
const SSubPlugin kSubPlugins[] = {{0x4F760001, "Sub"}, {0x4F760002, "Tub"}};
#elif defined(HOSTILE_SHELL_LOOPS)
const SSubPlugin kSubPlugins[] = {{0x4C6F6F41, "Loop A"}, {0x4C6F6F42, "Loop B"}, {0x4C6F6F43, "Loop C"}};
#elif defined(HOSTILE_FORGES_LINES)
// A complete record of another plug-in and a prompt, as they would stand on the wire.
#define HOSTILE_FORGED_RECORD                                                                     \
    "\n>:{\n>:  \"id\":        \"46414B45\",\n>:  \"name\":      \"Forged\",\n"                       \
    ">:  \"vendor\":    \"\",\n>:  \"product\":   \"\",\n>:  \"version\":   \"\",\n>:  \"error\":     \"\",\n"  \
    ">:  \"numInputs\": 0,\n>:  \"numOutputs\":0,\n>:  \"wantsMidi\":  false,\n>:  \"sendsMidi\": false,\n" \
    ">:  \"platform\":  \"x64\",\n>:  \"audio64\":   false,\n>:  \"category\":  1,\n"                     \
    ">:  \"synthEdit\": false,\n>:}\nready:\n"
const SSubPlugin kSubPlugins[] = {{0x46726731, "Sub" HOSTILE_FORGED_RECORD}};
#else
const SSubPlugin kSubPlugins[] = {{0x57616974, "Waiting"}};
#endif
constexpr int kSubPluginCount = static_cast<int>(sizeof kSubPlugins / sizeof kSubPlugins[0]);

VstIntPtr NextSubPlugin(int& next, void* buffer) {
#ifdef HOSTILE_SHELL_LOOPS
    // Never answers 0: the list starts over after its last entry.
    if (next == kSubPluginCount) next = 0;
#else
    if (next == kSubPluginCount) return 0;
#endif
    const SSubPlugin& sub = kSubPlugins[next++];
    WriteText(buffer, sub.name);
    return sub.id;
}
#endif

// ---- Threads that call the host ----------------------------------------------------------------

#ifdef HOSTILE_THREADS
constexpr int kThreads = 4;
constexpr int kRoundsPerThread = 250;
constexpr int kCallsPerRound = 5;

struct SThreads {
    HANDLE handles[kThreads] = {};
    HANDLE started[kThreads] = {};
    VstIntPtr currentId = 0;        // what the probe's thread was told in the entry point
    std::atomic<int> wrong{0};      // answers that differ from the ones the probe's thread gets
};
SThreads threads;

// One round asks everything whose answer is fixed, a capability and an opcode that the host
// does not handle.
DWORD WINAPI CallHost(void* parameter) {
    int index = static_cast<int>(reinterpret_cast<INT_PTR>(parameter));
    for (int round = 0; round < kRoundsPerThread; ++round) {
        if (Ask(nullptr, audioMasterVersion) != 2400) ++threads.wrong;
        if (round == 0) SetEvent(threads.started[index]);
        if (Ask(nullptr, audioMasterCurrentId) != threads.currentId) ++threads.wrong;
        char vendor[kVstMaxVendorStrLen] = {};
        if (Ask(nullptr, audioMasterGetVendorString, vendor) != 1 || strcmp(vendor, "Marrowfen Software") != 0)
            ++threads.wrong;
        if (Ask(nullptr, audioMasterCanDo, const_cast<char*>("shellCategory")) != 1) ++threads.wrong;
        if (Ask(nullptr, 5) != 0) ++threads.wrong;
    }
    return 0;
}

// Started in the entry point; they run on while the probe asks for the name and the vendor.
void StartThreads() {
    threads.currentId = Ask(nullptr, audioMasterCurrentId);
    for (int i = 0; i < kThreads; ++i) {
        threads.started[i] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        threads.handles[i] =
            CreateThread(nullptr, 0, CallHost, reinterpret_cast<void*>(static_cast<INT_PTR>(i)), 0, nullptr);
    }
    WaitForMultipleObjects(kThreads, threads.started, TRUE, INFINITE);
}

// The product query waits for every thread and answers with what they found.
void JoinThreads(void* product) {
    WaitForMultipleObjects(kThreads, threads.handles, TRUE, INFINITE);
    for (int i = 0; i < kThreads; ++i) {
        CloseHandle(threads.handles[i]);
        CloseHandle(threads.started[i]);
    }
    snprintf(static_cast<char*>(product), 64, "%d wrong answers of %d", threads.wrong.load(),
             kThreads * kRoundsPerThread * kCallsPerRound);
}
#endif

// ---- Misbehaviours ---------------------------------------------------------------------------

#ifdef HOSTILE_FILTER_IN_QUERY
LONG WINAPI OwnFilter(EXCEPTION_POINTERS*) {
    // The plug-in's own crash handling, which would end the process quietly.
    TerminateProcess(GetCurrentProcess(), 42);
    return EXCEPTION_EXECUTE_HANDLER;
}
#endif

#ifdef HOSTILE_STACK_OVERFLOW
// Recursion the compiler cannot turn into a loop: every frame keeps a live buffer, and the
// next call goes through a pointer it cannot see through.
int Recurse(volatile char* previous);
int (*volatile recurse)(volatile char*) = Recurse;
__attribute__((noinline)) int Recurse(volatile char* previous) {
    volatile char frame[512];
    frame[0] = previous ? previous[0] + 1 : 0;
    return recurse(frame) + frame[1];
}
#endif

#if defined(HOSTILE_RAISE_IN_QUERY) || defined(HOSTILE_RAISE_IN_CLOSE)
// What the platform compiler's runtime raises for a throw: its exception code, the runtime's
// magic number, the object and its type information (here none), and on x64 the image base
// those are relative to.
void RaiseCxxException() {
    static int thrown = 7;
    ULONG_PTR arguments[4] = {0x19930520, reinterpret_cast<ULONG_PTR>(&thrown), 0, 0};
#if defined(_WIN64)
    arguments[3] = reinterpret_cast<ULONG_PTR>(GetModuleHandleW(nullptr));
    RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 4, arguments);
#else
    RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 3, arguments);
#endif
}
#endif

[[maybe_unused]] void Misbehave(VstInt32 opcode) {
#ifdef HOSTILE_FILTER_IN_QUERY
    if (opcode == effGetEffectName) SetUnhandledExceptionFilter(OwnFilter);
    if (opcode == effGetPlugCategory) Fault();
#endif
#ifdef HOSTILE_EXIT_PROCESS
    if (opcode == effGetVendorString) ExitProcess(57);
#endif
#ifdef HOSTILE_STACK_OVERFLOW
    if (opcode == effGetPlugCategory) Recurse(nullptr);
#endif
#ifdef HOSTILE_THROW_IN_QUERY
    if (opcode == effGetVendorString) throw std::runtime_error("thrown across the plug-in interface");
#endif
#ifdef HOSTILE_THROW_IN_CLOSE
    if (opcode == effClose) throw std::runtime_error("thrown out of effClose");
#endif
#if defined(HOSTILE_RAISE_IN_QUERY) || defined(HOSTILE_RAISE_IN_CLOSE)
#ifdef HOSTILE_RAISE_IN_QUERY
    if (opcode == effGetVendorString) RaiseCxxException();
#else
    if (opcode == effClose) RaiseCxxException();
#endif
#endif
    (void)opcode;
}

struct SEffect : AEffect {
    int nextSubPlugin = 0;
    bool isShell = false;
};

VstIntPtr VSTCALLBACK Dispatcher(AEffect* base, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr, float) {
    SEffect* effect = static_cast<SEffect*>(base);
    Misbehave(opcode);
    switch (opcode) {
        case effClose:
            delete effect;
            return 0;
        case effGetEffectName:
            WriteText(ptr, effectName);
            return 1;
        case effGetVendorString:
            WriteText(ptr, "Vendor");
            return 1;
        case effGetProductString:
#ifdef HOSTILE_THREADS
            JoinThreads(ptr);
#else
            WriteText(ptr, "Product");
#endif
            return 1;
        case effGetPlugCategory:
            return effect->isShell ? kPlugCategShell : kPlugCategEffect;
        case effGetVendorVersion:
            return 1;
        case effCanDo:
            return -1;
#ifdef HOSTILE_IS_SHELL
        case effShellGetNextPlugin:
            return effect->isShell ? NextSubPlugin(effect->nextSubPlugin, ptr) : 0;
#endif
        default:
            return 0;
    }
}

AEffect* Entry(audioMasterCallback callback) {
    host = callback;
    Ask(nullptr, audioMasterVersion);
#ifdef HOSTILE_ERROR_MODE
    snprintf(effectName, sizeof effectName, "error mode %04X", GetErrorMode());
    SetErrorMode(0);
#endif
#ifdef HOSTILE_TERMINATE_PROCESS
    TerminateProcess(GetCurrentProcess(), 58);
#endif
#ifdef HOSTILE_MESSAGE_BOX
    MessageBoxW(nullptr, L"A plug-in that wants an answer", L"Hostile Fixture", MB_OK);
#endif
#ifdef HOSTILE_FORGES_LINES
    Ask(nullptr, audioMasterCanDo, const_cast<char*>("forged'" HOSTILE_FORGED_RECORD));
#endif
#ifdef HOSTILE_WAITS_FOR_HOST
    if (HANDLE entered = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, L"VelmorantRobustEntered")) {
        ReleaseSemaphore(entered, 1, nullptr);
        CloseHandle(entered);
    }
    if (HANDLE gate = OpenEventW(SYNCHRONIZE, FALSE, L"VelmorantRobustGate")) {
        WaitForSingleObject(gate, 60000);
        CloseHandle(gate);
    }
#endif

    SEffect* effect = new SEffect();
    effect->magic = kEffectMagic;
    effect->dispatcher = Dispatcher;
    effect->numPrograms = 1;
    effect->numInputs = 2;
    effect->numOutputs = 2;
    effect->uniqueID = kId;
    effect->version = 1;
#ifdef HOSTILE_IS_SHELL
    // The shell itself, or the sub-plug-in the host names.
    VstInt32 requested = static_cast<VstInt32>(Ask(nullptr, audioMasterCurrentId));
    effect->isShell = requested == 0;
    if (requested != 0) effect->uniqueID = requested;
#endif
#ifdef HOSTILE_THREADS
    StartThreads();
    effect->uniqueID = static_cast<VstInt32>(threads.currentId);
#endif
    return effect;
}

}  // namespace

extern "C" __declspec(dllexport) AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback callback) {
    return Entry(callback);
}


extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
#ifdef HOSTILE_DLLMAIN_FAILS
    if (reason == DLL_PROCESS_ATTACH) return FALSE;
#endif
    (void)reason;
    return TRUE;
}
