// One scan request: split the request line, load or re-use the module, probe it, and keep or
// free it in the library cache.
#pragma once

#include <windows.h>

#include "scan/plugin_info.h"
#include "simple/text.h"

// The module kept loaded between requests, and the path it was loaded from; set and cleared
// together. A module stays here while consecutive requests name its path.
extern HMODULE cachedModule;
extern Simple::CUniString cachedModulePath;

// Scans the module the request names ("path" or "path>hexadecimal shell id"); false with
// info.error set when the module could not be loaded or the probe refused it.
bool ScanPlugin(const Simple::CUniString& request, CPluginInfo& info);

// The fixed part of the file's version resource; false when there is none or it is shorter
// than the whole record.
bool ReadFixedFileInfo(const wchar_t* path, VS_FIXEDFILEINFO& info);
