// Starts the real scan server the way a host application does: two anonymous pipes whose
// child ends are inheritable, their handle values in hexadecimal as arguments 1 and 2, an
// owner window value and a dump folder. Every byte the server writes is kept for comparison.
// Nothing here can hang a test: every wait is bounded, and a server still running at the
// end is ended.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/win_handle.h"

class TestHost {
public:
    TestHost() = default;
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;
    ~TestHost();

    // The scan server next to the test executable.
    static std::wstring ServerPath();
    // The folder of the test executable (fixture plug-ins live in its plugins folder).
    static std::wstring BinaryFolder();

    // Starts the server with pipe handles as arguments 1 and 2, then owner and dumpFolder
    // (arguments 3 and 4; an empty dumpFolder is passed as an empty quoted argument only when
    // passEmptyDumpFolder is set, otherwise left out).
    bool Start(const std::wstring& dumpFolder = L"", const std::wstring& owner = L"0",
               bool passEmptyDumpFolder = false);
    // Starts the server with the given argument text after the program path. The pipes are
    // still created; %IN% and %OUT% in the text are replaced by their handle values. Standard
    // output of the child is the output pipe too, so output that falls back to it is seen.
    bool StartWithArguments(const std::wstring& arguments);

    // Writes bytes to the server's input exactly as given.
    bool Send(const std::string& bytes);
    // Reads until the server's next "ready:\n" prompt; returns everything before it (the prompt
    // itself is consumed). Empty with timedOut() set when no prompt came in time.
    std::string ReadUntilPrompt(DWORD timeoutMs = 20000);
    // Sends line plus a line feed and returns the answer up to the next prompt.
    std::string Request(const std::string& line, DWORD timeoutMs = 20000);
    // Waits until the output holds at least `bytes` bytes in total (since the last consumed).
    std::string ReadAvailable(DWORD waitMs);

    void CloseInput();
    // Waits for the server to exit and returns its exit code; ends it and returns -1 when it
    // did not exit in time. Any output it still wrote is then in Rest().
    int WaitForExit(DWORD timeoutMs = 20000);
    // Output not yet consumed by ReadUntilPrompt; after WaitForExit, everything to the end.
    std::string Rest();

    bool timedOut() const { return m_timedOut; }
    DWORD processId() const { return m_processId; }
    HANDLE process() const { return m_process.get(); }

private:
    bool Launch(const std::wstring& commandLine);
    void ReaderLoop();

    WinHandle m_process;
    WinHandle m_inputWrite;   // our end of the request pipe
    WinHandle m_outputRead;   // our end of the answer pipe
    HANDLE m_childInput = nullptr;   // the child's ends, closed once it has started
    HANDLE m_childOutput = nullptr;
    DWORD m_processId = 0;
    bool m_timedOut = false;

    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_received;  // not yet consumed
    bool m_eof = false;
};
