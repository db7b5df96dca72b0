#include "server/request_loop.h"

#include <gdiplus.h>
#include <shellapi.h>

#include <cstdint>
#include <cstring>

#include "crash/crash_filter.h"
#include "scan/plugin_info.h"
#include "scan/scan_request.h"
#include "server/output_channel.h"
#include "server/parse_hex.h"
#include "simple/platform.h"
#include "simple/text.h"
#include "ui/progress_window.h"

namespace {

constexpr DWORD kReadSize = 1024;
// A request line longer than this is refused rather than buffered without end.
constexpr size_t kMaxRequestBytes = 128 * 1024;

struct SCommandLine {
    uint32_t input = 0;
    uint32_t output = 0;
    uint32_t owner = 0;
};

SCommandLine ReadCommandLine() {
    SCommandLine line;
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments) return line;
    if (count > 1) ParseHex(arguments[1], line.input);
    if (count > 2) ParseHex(arguments[2], line.output);
    if (count > 3) ParseHex(arguments[3], line.owner);
    if (count > 4 && arguments[4][0]) dumpFolder.Assign(arguments[4]);
    LocalFree(arguments);
    return line;
}

// Handle and window values arrive as 32-bit numbers. Only their low 32 bits are significant,
// and a 64-bit process widens them with sign extension, as the system's own conversions do.
HANDLE HandleFromValue(uint32_t value) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<int32_t>(value)));
}

enum class ERead { Line, TooLong, Closed };

// Reads one request line. A read shorter than the buffer is the whole request: its bytes up to
// the first line feed count and the rest is dropped. A read that fills the buffer without a
// line feed is continued until one arrives, so long paths work.
ERead ReadRequest(HANDLE input, Simple::CAnsiString& request) {
    char buffer[kReadSize + 1];
    DWORD count = 0;
    if (!ReadFile(input, buffer, kReadSize, &count, nullptr) || count == 0) return ERead::Closed;
    buffer[count] = 0;
    if (char* end = static_cast<char*>(memchr(buffer, '\n', count))) {
        *end = 0;
        request.Assign(buffer);
        return ERead::Line;
    }
    if (count < kReadSize) {
        request.Assign(buffer);
        return ERead::Line;
    }

    // Gather the line up to its first NUL (where the request ends, as for a short read), and
    // count every byte up to the line feed against the bound.
    Simple::CAnsiString raw;
    raw.Assign(buffer);
    bool stopAtNul = strlen(buffer) < count;
    size_t total = count;
    for (;;) {
        if (!ReadFile(input, buffer, kReadSize, &count, nullptr) || count == 0) break;
        buffer[count] = 0;
        char* end = static_cast<char*>(memchr(buffer, '\n', count));
        if (end) *end = 0;
        size_t used = end ? static_cast<size_t>(end - buffer) : count;
        total += used;
        if (total <= kMaxRequestBytes && !stopAtNul) {
            raw.Insert(-1, buffer);
            if (strlen(buffer) < used) stopAtNul = true;
        }
        if (end) break;
    }
    if (total > kMaxRequestBytes) return ERead::TooLong;
    request = raw;
    return ERead::Line;
}

void RunMessageMode() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void RunRequestMode(HANDLE input) {
    static const char kPrompt[] = "ready:\n";
    for (;;) {
        // Set again for every request: a plug-in may have changed it, and the system's
        // critical-error boxes would then wait for a click during a later scan.
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
        DWORD written = 0;
        WriteFile(outputHandle, kPrompt, sizeof kPrompt - 1, &written, nullptr);
        FlushFileBuffers(outputHandle);

        Simple::CAnsiString request;
        ERead read = ReadRequest(input, request);
        if (read == ERead::Closed) break;

        DispatchQueuedMessages();
        CPluginInfo info;
        bool scanned = false;
        if (read == ERead::TooLong) {
            info.error.Assign(L"Request line is too long");
        } else {
            Simple::CUniString wide = Simple::FromUtf8(request.GetData());
            if (!wide.GetData()) wide.Assign(L"");
            scanned = ScanPlugin(wide, info);
        }
        if (!scanned) LogError(L"%s\n", info.error.GetData());
        info.WriteJson();
    }
}

void FreeCachedModule() {
    if (!cachedModule) return;
    LogInfo(L"Freeing cached library...\n");
    FreeLibrary(cachedModule);
    cachedModule = nullptr;
    cachedModulePath.Release();
    LogInfo(L"Freed\n");
}

}  // namespace

void DispatchQueuedMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

int RunScanServer(HINSTANCE instance) {
    InitializeCriticalSection(&crashLock);
    dumpNamePrefix.Assign(L"ScanServer");
    dumpNamePrefix.Insert(-1, L"-" SCAN_PLATFORM);
    SetUnhandledExceptionFilter(CrashFilter);

    SCommandLine line = ReadCommandLine();

    ULONG_PTR gdiplusToken = 0;
    Gdiplus::GdiplusStartupInput gdiplusInput;
    Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, nullptr);

    HANDLE input = HandleFromValue(line.input);
    outputHandle = line.output ? HandleFromValue(line.output) : GetStdHandle(STD_OUTPUT_HANDLE);

    CreateProgressWindow(instance, static_cast<HWND>(HandleFromValue(line.owner)));
    LogInfo(L"Velmorant Plugin Scan Server (" SCAN_PLATFORM L")\n");

    if (input)
        RunRequestMode(input);
    else
        RunMessageMode();

    FreeCachedModule();
    if (progressWindow) DestroyWindow(progressWindow);
    Gdiplus::GdiplusShutdown(gdiplusToken);
    return 0;
}
