// scan-transcript: runs the scan server next to it as a host would, sends each request given on
// the command line, and prints the conversation: every line the server writes, byte for byte,
// and the host's own steps marked "host>". A request without a shell suffix whose record lists
// sub-plug-ins is followed by one request per sub-plug-in. Relative paths are taken from this
// program's folder.
//
//     scan-transcript.exe plugins\sample-shell.dll C:\Plugins\Delay.dll
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <deque>
#include <string>

#include "tests/support/answer.h"
#include "tests/support/test_host.h"

namespace {

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

bool IsAbsolute(const std::wstring& path) {
    return (path.size() >= 2 && path[1] == L':') || (!path.empty() && (path[0] == L'\\' || path[0] == L'/'));
}

void Print(const std::string& bytes) {
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

void Host(const std::string& step) { Print("host> " + step + "\n"); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // the server's bytes pass through unchanged

    std::deque<std::string> requests;
    for (int i = 1; i < argc; ++i) {
        std::wstring request = argv[i];
        requests.push_back(ToUtf8(IsAbsolute(request) ? request : TestHost::BinaryFolder() + L"\\" + request));
    }

    TestHost host;
    Host("starts " + ToUtf8(TestHost::ServerPath()) + " <input pipe> <output pipe> 0");
    if (!host.Start()) {
        Host("could not start the scan server, error " + std::to_string(GetLastError()));
        return 1;
    }
    std::string answer = host.ReadUntilPrompt();
    if (host.timedOut()) {
        Print(host.Rest());
        Host("no prompt from the scan server");
        return 1;
    }
    Print(answer + "ready:\n");

    while (!requests.empty()) {
        std::string request = requests.front();
        requests.pop_front();
        Host("writes " + request);
        answer = host.Request(request);
        if (host.timedOut()) break;  // the server ended (a crash) or stopped answering
        Print(answer + "ready:\n");
        if (request.find('>') != std::string::npos) continue;
        SRecord record = ParseRecord(answer);
        for (const auto& shell : record.shells) requests.push_back(request + ">" + shell.first);
    }

    Host("closes the input pipe");
    host.CloseInput();
    int code = host.WaitForExit();
    Print(host.Rest());
    Host("sees exit code " + std::to_string(code));
    // 0 and 9 (a plug-in crashed) are both answers of the protocol.
    return code == 0 || code == 9 ? 0 : 1;
}
