#include "scan/scan_request.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "crash/crash_filter.h"
#include "scan/host_callback.h"
#include "scan/probe.h"
#include "scan/version_strings.h"
#include "server/output_channel.h"
#include "server/parse_hex.h"
#include "server/request_loop.h"
#include "ui/progress_window.h"

HMODULE cachedModule = nullptr;
Simple::CUniString cachedModulePath;

namespace {

const wchar_t* TextOf(const Simple::CUniString& text) { return text.GetData() ? text.GetData() : L""; }

// Same length and the same code units: letter case counts, nothing is normalised.
bool SamePath(const Simple::CUniString& a, const Simple::CUniString& b) {
    int length = a.GetLength();
    return length == b.GetLength() && wmemcmp(TextOf(a), TextOf(b), length) == 0;
}

void EmptyCache() {
    cachedModule = nullptr;
    cachedModulePath.Release();
}

}  // namespace

bool ReadFixedFileInfo(const wchar_t* path, VS_FIXEDFILEINFO& info) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0) return false;
    void* block = malloc(size);
    if (!block) return false;
    void* value = nullptr;
    UINT length = 0;
    // A fixed part shorter than the record would have its missing words read from whatever
    // follows it in the block: such a resource counts as absent.
    bool found = GetFileVersionInfoW(path, handle, size, block) && VerQueryValueW(block, L"\\", &value, &length) &&
                 length >= sizeof(VS_FIXEDFILEINFO);
    if (found) memcpy(&info, value, sizeof info);
    free(block);
    return found;
}

bool ScanPlugin(const Simple::CUniString& request, CPluginInfo& info) {
    LogInfo(L"Scanning plugin: '%s'\n", TextOf(request));

    // "path>id": the id is hexadecimal and ends at the first character that is not a digit.
    Simple::CUniString path = request;
    uint32_t shellId = 0;
    if (const wchar_t* marker = wcschr(TextOf(request), L'>')) {
        path.Assign(TextOf(request), static_cast<int>(marker - TextOf(request)));
        ParseHex(marker + 1, shellId);
    }

    // Faults in code that a module runs while it is loaded or freed end up here.
    SetUnhandledExceptionFilter(CrashFilter);
    HMODULE module = nullptr;
    bool reused = cachedModule && SamePath(cachedModulePath, path);
    if (reused) {
        LogInfo(L"Re-using previous library instance...\n");
        module = cachedModule;
    } else {
        if (cachedModule) {
            LogInfo(L"Freeing cached library...\n");
            FreeLibrary(cachedModule);
            EmptyCache();
            LogInfo(L"Freed\n");
        }
        LogInfo(L"Loading library...\n");
        module = LoadLibraryExW(TextOf(path), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!module) {
            DWORD error = GetLastError();
            info.error = Simple::CUniString::Format(L"Failed to load library, err=%i", static_cast<int>(error));
            return false;
        }
    }

    Simple::CUniString fileVersion;
    VS_FIXEDFILEINFO fixed;
    if (ReadFixedFileInfo(TextOf(path), fixed)) fileVersion = FileVersionToText(fixed);

    // Replaces any filter that the module's load-time code installed.
    SetUnhandledExceptionFilter(CrashFilter);
    if (progressWindow) SetActiveWindow(progressWindow);
    DispatchQueuedMessages();

    requestedShellId = static_cast<int32_t>(shellId);
    bool probed = ProbePlugin(module, info);
    requestedShellId = 0;

    // The plug-in's own version wins; the file's is the fallback.
    if (info.version.IsEmpty()) info.version = fileVersion;
    DispatchQueuedMessages();

    if (info.shells.GetCount() > 0 || reused) {
        LogInfo(L"Keeping shell library loaded for now...\n");
        cachedModule = module;
        cachedModulePath = path;
    } else {
        LogInfo(L"Freeing library...\n");
        FreeLibrary(module);
        EmptyCache();
    }
    LogInfo(L"Finished\n");
    return probed;
}
