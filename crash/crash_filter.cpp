#include "crash/crash_filter.h"

#include <dbghelp.h>

#include <cwchar>

CRITICAL_SECTION crashLock;
Simple::CUniString dumpFolder;
Simple::CUniString dumpNamePrefix;

namespace {

using MiniDumpWriteDumpProc = BOOL(WINAPI*)(HANDLE process, DWORD processId, HANDLE file, MINIDUMP_TYPE type,
                                            PMINIDUMP_EXCEPTION_INFORMATION exception,
                                            PMINIDUMP_USER_STREAM_INFORMATION userStreams,
                                            PMINIDUMP_CALLBACK_INFORMATION callback);

[[noreturn]] void EndProcess() {
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    // TerminateProcess on the own process does not return.
    for (;;) Sleep(INFINITE);
}

void WriteDump(MiniDumpWriteDumpProc writeDump, EXCEPTION_POINTERS* exception) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t name[MAX_PATH];
    // A name that does not fit is not truncated into some other file's name: no dump.
    if (!FormatDumpFileName(name, dumpFolder.GetData(), dumpNamePrefix.GetData(), now)) return;
    HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    MINIDUMP_EXCEPTION_INFORMATION information;
    information.ThreadId = GetCurrentThreadId();
    information.ExceptionPointers = exception;
    information.ClientPointers = FALSE;
    // A failed write leaves whatever was written; nothing better can be done in a crash.
    writeDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &information, nullptr, nullptr);
    CloseHandle(file);
}

}  // namespace

bool FormatDumpFileName(wchar_t (&name)[MAX_PATH], const wchar_t* folder, const wchar_t* prefix,
                        const SYSTEMTIME& time) {
    // The bounded formatter answers -1 when the text is longer than the buffer and the full
    // count, without a terminator, when only the terminator is missing.
    int length = _snwprintf(name, MAX_PATH, L"%s\\%s-%.4i-%.2i-%.2i-%.2i-%.2i-%.2i.mdmp", folder, prefix,
                            static_cast<int>(time.wYear), static_cast<int>(time.wMonth),
                            static_cast<int>(time.wDay), static_cast<int>(time.wHour),
                            static_cast<int>(time.wMinute), static_cast<int>(time.wSecond));
    if (length < 0 || length >= MAX_PATH) {
        name[0] = 0;
        return false;
    }
    return true;
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exception) {
    if (dumpFolder.IsEmpty()) EndProcess();

    EnterCriticalSection(&crashLock);
    // Loaded only now and never freed: a crashing process has no use for freeing it.
    HMODULE dbghelp = LoadLibraryW(L"DbgHelp.dll");
    if (!dbghelp) {
        LeaveCriticalSection(&crashLock);
        return EXCEPTION_CONTINUE_SEARCH;
    }
    auto writeDump = reinterpret_cast<MiniDumpWriteDumpProc>(
        reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
    if (!writeDump) {
        LeaveCriticalSection(&crashLock);
        return EXCEPTION_CONTINUE_SEARCH;
    }
    WriteDump(writeDump, exception);
    // The lock stays held: a second crashing thread waiting on it would otherwise recreate the
    // same file (same second) and be cut off half-way by this termination.
    EndProcess();
}
