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

// "<folder>\<prefix>-YYYY-MM-DD-hh-mm-ss.mdmp", one backslash added whatever the folder ends
// with. False, with nothing usable in name, when the name and its terminator do not fit.
bool FormatDumpFileName(wchar_t (&name)[MAX_PATH], const wchar_t* folder, const wchar_t* prefix,
                        const SYSTEMTIME& time);
