// One scan server process, started the way a host starts it: two anonymous pipes whose child
// ends alone are inherited, their handle values in hexadecimal as arguments 1 and 2, owner
// window 0, a dump folder as argument 4. Every wait is bounded by the caller's timeout and
// can be cut short by a cancel event.
#pragma once

#include <windows.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/answer.h"
#include "tests/support/win_handle.h"

namespace ScanHost {

// The process could not be created at all.
class ServerStartError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ServerConfig {
    std::wstring executable;  // ScanServer-x64.exe or ScanServer-x86.exe
    std::wstring dumpFolder;  // where the server writes a minidump when a plug-in crashes
    HANDLE job = nullptr;     // a job that ends the server when scanhost ends, if any
};

// What ended a wait for the server.
enum class EServerEnd {
    Prompt,     // the server answered and prompted again
    Exited,     // the process ended (exitCode)
    TimedOut,   // no prompt in time; the process is still running
    Cancelled,  // the cancel event was set
};

struct ServerReply {
    EServerEnd end = EServerEnd::Prompt;
    std::vector<Unit> units;  // everything the server wrote for this request
    DWORD exitCode = 0;
};

// A timeout of 0 waits without limit.
class ScanServerProcess {
public:
    explicit ScanServerProcess(ServerConfig config);
    ScanServerProcess(const ScanServerProcess&) = delete;
    ScanServerProcess& operator=(const ScanServerProcess&) = delete;
    ~ScanServerProcess();  // ends a server that still runs

    // Creates the process (throws ServerStartError) and waits for its first prompt; the
    // reply holds the banner.
    ServerReply Start(DWORD timeoutMs, HANDLE cancel = nullptr);
    // Writes one request line and waits for the answer and the next prompt.
    ServerReply Request(const std::string& line, DWORD timeoutMs, HANDLE cancel = nullptr);
    // Waits longer after a reply that timed out; the reply holds everything since the request.
    ServerReply WaitLonger(DWORD timeoutMs, HANDLE cancel = nullptr) { return Wait(timeoutMs, cancel); }
    // Closes the request pipe, which asks the server to exit; ends it after graceMs.
    // Returns the exit code (or the one it was ended with).
    DWORD Close(DWORD graceMs);
    // Ends the process at once and waits for it.
    void Terminate();

    bool running() const;
    DWORD processId() const { return m_processId; }
    const ServerConfig& config() const { return m_config; }

private:
    struct Reader;
    ServerReply Wait(DWORD timeoutMs, HANDLE cancel);
    void StopReader();

    ServerConfig m_config;
    WinHandle m_process;
    DWORD m_processId = 0;
    WinHandle m_input;  // our end of the request pipe
    std::shared_ptr<Reader> m_reader;
    WinHandle m_readerThread;
    TranscriptReader m_transcript;
};

// Hexadecimal without prefix, as the server reads handle values.
std::wstring HandleArgument(HANDLE handle);

}  // namespace ScanHost
