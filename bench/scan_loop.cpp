// The limit of a scan request: the platform and plug-in calls that the server makes for one
// request, in the same order, in a loop inside one process, with no pipe, no log line, no
// record, no window and no message pump. The same library cache rule decides what stays loaded.
//
//     scan-loop.exe <count> <first request> <request>...
//
// Scans the first request once and each further request once (the warm-up), then times count
// requests taken in turn from the further ones. Prints, on one line, the seconds, the number of
// scans that failed and how much the process's private bytes grew over the timed requests.
#include <windows.h>
#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "scan/vst2.h"

namespace {

double Now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency;
}

// ---- The host side, answering as the server does, silently --------------------------------

VstInt32 requestedShellId = 0;
bool wantMidiSeen = false;

const char* const kHostCanDos[] = {"sizeWindow",       "sendVstEvents",       "sendVstMidiEvent",
                                   "sendVstTimeInfo",  "supplyIdle",          "receiveVstEvents",
                                   "receiveVstMidiEvent", "startStopProcess", "sendVstMidiEventFlagIsRealtime",
                                   "shellCategory"};

VstIntPtr VSTCALLBACK Callback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr, float) {
    switch (opcode) {
        case audioMasterVersion: return 2400;
        case audioMasterCurrentId: return requestedShellId;
        case audioMasterWantMidi: wantMidiSeen = true; return 0;
        case audioMasterNeedIdle: return 1;
        case audioMasterGetSampleRate: return 44100;
        case audioMasterGetBlockSize: return 512;
        case audioMasterGetCurrentProcessLevel: return kVstProcessLevelOffline;
        case audioMasterGetVendorString: snprintf(static_cast<char*>(ptr), kVstMaxVendorStrLen, "Marrowfen Software"); return 1;
        case audioMasterGetProductString: snprintf(static_cast<char*>(ptr), kVstMaxProductStrLen, "Velmorant"); return 1;
        case audioMasterGetVendorVersion: return 3;
        case audioMasterCanDo:
            for (const char* name : kHostCanDos)
                if (!_stricmp(name, static_cast<const char*>(ptr))) return 1;
            return 0;
        default: return 0;
    }
}

LONG WINAPI Filter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

// As the benchmarks' host reads the server's (Wine leaves PrivateUsage at 0).
long long PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
        return 0;
    return static_cast<long long>(counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage);
}

// ---- One scan --------------------------------------------------------------------------------

struct SResult {
    char name[513], vendor[513], product[513];
    VstInt32 id, category, numInputs, numOutputs, version;
    bool synthEdit, wantsMidi, sendsMidi, audio64;
    int shells;
    DWORD fileVersionMS, fileVersionLS, productVersionMS, productVersionLS;
};

HMODULE cachedModule = nullptr;
std::wstring cachedModulePath;
char textBuffer[512 + 64 * 1024];

VstIntPtr Dispatch(AEffect* effect, VstInt32 opcode, void* ptr) { return effect->dispatcher(effect, opcode, 0, 0, ptr, 0.0f); }

void Text(AEffect* effect, VstInt32 opcode, char* out) {
    memset(textBuffer, 0, 513);
    Dispatch(effect, opcode, textBuffer);
    textBuffer[512] = 0;
    memcpy(out, textBuffer, 513);
}

bool CanDo(AEffect* effect, const char* capability) {
    return static_cast<VstInt32>(Dispatch(effect, effCanDo, const_cast<char*>(capability))) != -1;
}

void ReadFileVersion(const wchar_t* path, SResult& result) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0) return;
    std::vector<char> block(size);
    void* value = nullptr;
    UINT length = 0;
    if (GetFileVersionInfoW(path, handle, size, block.data()) && VerQueryValueW(block.data(), L"\\", &value, &length) &&
        length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        result.fileVersionMS = fixed->dwFileVersionMS;
        result.fileVersionLS = fixed->dwFileVersionLS;
        result.productVersionMS = fixed->dwProductVersionMS;
        result.productVersionLS = fixed->dwProductVersionLS;
    }
}

bool Probe(HMODULE module, SResult& result) {
    if (GetProcAddress(module, "JBridgeBootstrap")) return false;
    auto entry = reinterpret_cast<VstEntryProc>(reinterpret_cast<void (*)()>(GetProcAddress(module, "VSTPluginMain")));
    if (!entry) entry = reinterpret_cast<VstEntryProc>(reinterpret_cast<void (*)()>(GetProcAddress(module, "main")));
    if (!entry) return false;
    wantMidiSeen = false;
    SetUnhandledExceptionFilter(Filter);
    AEffect* effect = entry(Callback);
    SetUnhandledExceptionFilter(Filter);
    if (!effect || effect->magic != kEffectMagic) return false;
    SetUnhandledExceptionFilter(Filter);
    result.synthEdit = FindResourceW(module, MAKEINTRESOURCEW(165), L"SE1") != nullptr;
    Text(effect, effGetEffectName, result.name);
    Text(effect, effGetVendorString, result.vendor);
    Text(effect, effGetProductString, result.product);
    result.id = effect->uniqueID;
    result.category = static_cast<VstInt32>(Dispatch(effect, effGetPlugCategory, nullptr));
    result.numInputs = effect->numInputs;
    result.numOutputs = effect->numOutputs;
    result.wantsMidi = CanDo(effect, "receiveVstMidiEvent") || CanDo(effect, "receiveVstEvents") || wantMidiSeen;
    result.sendsMidi = CanDo(effect, "sendVstMidiEvent") || CanDo(effect, "sendVstEvents");
    result.audio64 = (effect->flags & effFlagsCanDoubleReplacing) != 0;
    result.version = static_cast<VstInt32>(Dispatch(effect, effGetVendorVersion, nullptr));
    if (effect->flags & effFlagsIsSynth)
        result.category = kPlugCategSynth;
    else if (result.category == kPlugCategUnknown)
        result.category = result.numInputs != 0 ? kPlugCategEffect : kPlugCategSynth;
    result.shells = 0;
    if (result.category == kPlugCategShell) {
        while (true) {
            memset(textBuffer, 0, 513);
            if (Dispatch(effect, effShellGetNextPlugin, textBuffer) == 0) break;
            ++result.shells;
        }
    }
    SetUnhandledExceptionFilter(Filter);
    Dispatch(effect, effClose, nullptr);
    SetUnhandledExceptionFilter(Filter);
    return true;
}

bool Scan(const std::wstring& request, SResult& result) {
    std::wstring path = request;
    uint32_t shellId = 0;
    size_t marker = request.find(L'>');
    if (marker != std::wstring::npos) {
        path = request.substr(0, marker);
        shellId = wcstoul(request.c_str() + marker + 1, nullptr, 16);
    }
    SetUnhandledExceptionFilter(Filter);
    HMODULE module = nullptr;
    bool reused = cachedModule && path == cachedModulePath;
    if (reused) {
        module = cachedModule;
    } else {
        if (cachedModule) {
            FreeLibrary(cachedModule);
            cachedModule = nullptr;
            cachedModulePath.clear();
        }
        module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!module) return false;
    }
    ReadFileVersion(path.c_str(), result);
    SetUnhandledExceptionFilter(Filter);
    requestedShellId = static_cast<VstInt32>(shellId);
    bool probed = Probe(module, result);
    requestedShellId = 0;
    if (result.shells > 0 || reused) {
        cachedModule = module;
        cachedModulePath = path;
    } else {
        FreeLibrary(module);
        cachedModule = nullptr;
        cachedModulePath.clear();
    }
    return probed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: scan-loop.exe <count> <first request> <request>...\n");
        return 2;
    }
    long count = wcstol(argv[1], nullptr, 10);
    std::vector<std::wstring> cycle(argv + 3, argv + argc);
    SResult result = {};
    int failed = 0;
    if (!Scan(argv[2], result)) ++failed;
    for (const std::wstring& request : cycle)
        if (!Scan(request, result)) ++failed;
    long long bytes = PrivateBytes();
    double start = Now();
    for (long i = 0; i < count; ++i)
        if (!Scan(cycle[i % cycle.size()], result)) ++failed;
    double seconds = Now() - start;
    long long growth = PrivateBytes() - bytes;
    if (cachedModule) FreeLibrary(cachedModule);
    printf("%.9f %d %lld\n", seconds, failed, growth);
    return 0;
}
