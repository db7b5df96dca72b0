// One scan request: split the request line, load or re-use the module, probe it, and keep or
// free it in the library cache.
#pragma once

#include <windows.h>

#include "scan/plugin_info.h"
#include "simple/text.h"

// The module kept loaded between requests, and the path it was loaded from; set and cleared
// together.
extern HMODULE cachedModule;
extern Simple::CUniString cachedModulePath;

// Fills info from the module the request names; false with info.error set when it failed.
bool ScanPlugin(const Simple::CUniString& request, CPluginInfo& info);
