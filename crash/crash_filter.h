// The process's unhandled-exception filter: writes a minidump into the dump folder and ends
// the process with exit code 9.
#pragma once

#include <windows.h>

#include "simple/text.h"

constexpr UINT kCrashExitCode = 9;

// Lets one crashing thread at a time write its dump; initialised at start-up, never deleted.
extern CRITICAL_SECTION crashLock;
// Folder that receives dumps; empty means no dump is written.
extern Simple::CUniString dumpFolder;
// "ScanServer-x86" or "ScanServer-x64".
extern Simple::CUniString dumpNamePrefix;

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exception);
