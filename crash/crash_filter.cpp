#include "crash/crash_filter.h"

CRITICAL_SECTION crashLock;
Simple::CUniString dumpFolder;
Simple::CUniString dumpNamePrefix;

// Minimal filter until the dump writer lands: ends the process without a dump.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS*) {
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    return EXCEPTION_CONTINUE_SEARCH;
}
