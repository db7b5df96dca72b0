// The smallest GUI program that talks like the scan server at start-up: it reads the same two
// hexadecimal pipe handles, writes "ready:\n", and waits until its input is closed.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments || count < 3) return 1;
    HANDLE input = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoul(arguments[1], nullptr, 16)));
    HANDLE output = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoul(arguments[2], nullptr, 16)));
    LocalFree(arguments);
    static const char kPrompt[] = "ready:\n";
    DWORD done = 0;
    WriteFile(output, kPrompt, sizeof kPrompt - 1, &done, nullptr);
    FlushFileBuffers(output);
    char buffer[1024];
    while (ReadFile(input, buffer, sizeof buffer, &done, nullptr) && done > 0) {
    }
    return 0;
}
