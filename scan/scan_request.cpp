#include "scan/scan_request.h"

#include "server/output_channel.h"

HMODULE cachedModule = nullptr;
Simple::CUniString cachedModulePath;

// Minimal request until the probe lands: every scan fails with a plain reason.
bool ScanPlugin(const Simple::CUniString& request, CPluginInfo& info) {
    LogInfo(L"Scanning plugin: '%s'\n", request.GetData() ? request.GetData() : L"");
    info.error.Assign(L"Plug-in probing is not available in this build");
    return false;
}
