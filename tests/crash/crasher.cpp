// Crashes on purpose, with the crash reporting set up the way the scan server's start-up does
// it, so that tests can look at the exit code and the dump a real crash leaves.
//
//   crasher <main|thread|two-threads> [dump folder]
//
// main: an access violation on the main thread; thread: on a second thread while the main
// thread waits; two-threads: two threads released at the same moment both fault.
// Before faulting it writes to standard output one line "time Y M D h m s" (the local time
// just before the first fault) and one line "fault <thread id> <address>" per faulting
// thread, both numbers in hexadecimal; each fault is a write to its address.
// Exit code 9 means the crash filter ended the process; 2 means bad arguments.
//
//   crasher probe-dbghelp
//
// Does not crash: exits with 0 when "DbgHelp.dll" can be loaded, 1 when not.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "crash/crash_filter.h"
#include "simple/platform.h"

namespace {

// Never mapped: the first 64 KiB of the address space are reserved.
constexpr uintptr_t kMainFaultAddress = 0x1230;
constexpr uintptr_t kThreadFaultAddress[] = {0x2340, 0x3450};

HANDLE startEvent = nullptr;

void Print(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}

void PrintFault(DWORD threadId, uintptr_t address) {
    char line[64];
    snprintf(line, sizeof line, "fault %lx %llx\n", static_cast<unsigned long>(threadId),
             static_cast<unsigned long long>(address));
    Print(line);
}

void PrintTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char line[64];
    snprintf(line, sizeof line, "time %u %u %u %u %u %u\n", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond);
    Print(line);
}

void Fault(uintptr_t address) { *reinterpret_cast<volatile int*>(address) = 1; }

DWORD WINAPI FaultingThread(void* parameter) {
    WaitForSingleObject(startEvent, INFINITE);
    Fault(reinterpret_cast<uintptr_t>(parameter));
    return 0;
}

int FaultInThreads(int count) {
    startEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[2];
    for (int i = 0; i < count; ++i) {
        DWORD id = 0;
        void* address = reinterpret_cast<void*>(kThreadFaultAddress[i]);
        threads[i] = CreateThread(nullptr, 0, FaultingThread, address, 0, &id);
        if (!threads[i]) return 3;
        PrintFault(id, kThreadFaultAddress[i]);
    }
    PrintTime();
    SetEvent(startEvent);
    // The filter ends the process from the faulting thread; returning from here would be a
    // failure of the filter.
    WaitForMultipleObjects(count, threads, TRUE, 30000);
    return 4;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // As at start-up: the lock, the prefix, the filter, and only then the folder.
    InitializeCriticalSection(&crashLock);
    dumpNamePrefix.Assign(L"ScanServer");
    dumpNamePrefix.Insert(-1, L"-" SCAN_PLATFORM);
    SetUnhandledExceptionFilter(CrashFilter);
    if (argc > 2 && argv[2][0]) dumpFolder.Assign(argv[2]);

    if (argc < 2) return 2;
    if (wcscmp(argv[1], L"main") == 0) {
        PrintFault(GetCurrentThreadId(), kMainFaultAddress);
        PrintTime();
        Fault(kMainFaultAddress);
        return 4;
    }
    if (wcscmp(argv[1], L"probe-dbghelp") == 0) return LoadLibraryW(L"DbgHelp.dll") ? 0 : 1;
    if (wcscmp(argv[1], L"thread") == 0) return FaultInThreads(1);
    if (wcscmp(argv[1], L"two-threads") == 0) return FaultInThreads(2);
    return 2;
}
