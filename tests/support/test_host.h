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
    // What the child gets as its standard output handle.
    enum class EStandardOutput {
        OutputPipe,  // the output pipe, so output that falls back to it reads like the rest
        Separate,    // a pipe of its own, read with StandardOutput()
        None,        // no handle at all
    };

    TestHost() = default;
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;
    ~TestHost();

    // The scan server next to the test executable.
    static std::wstring ServerPath();
    // The folder of the test executable (fixture plug-ins live in its plugins folder).
    static std::wstring BinaryFolder();

    // Chooses the child's standard output for the next start (default: the output pipe).
    void SetStandardOutput(EStandardOutput standardOutput) { m_standardOutput = standardOutput; }

    // Starts the server with pipe handles as arguments 1 and 2, then owner and dumpFolder
    // (arguments 3 and 4; an empty dumpFolder is passed as an empty quoted argument only when
    // passEmptyDumpFolder is set, otherwise left out).
    bool Start(const std::wstring& dumpFolder = L"", const std::wstring& owner = L"0",
               bool passEmptyDumpFolder = false);
    // Starts the server with the given argument text after the program path. The pipes are
    // still created; in the text, %IN% and %OUT% are replaced by their handle values in
    // upper-case hexadecimal, %in% and %out% in lower case, %IN8% and %OUT8% in upper case
    // padded to eight digits.
    bool StartWithArguments(const std::wstring& arguments);
    // The same for another program (a path), for comparisons with the server.
    bool StartProgram(const std::wstring& program, const std::wstring& arguments);

    // Writes bytes to the server's input exactly as given.
    bool Send(const std::string& bytes);
    // Reads until the server's next "ready:\n" prompt; returns everything before it (the prompt
    // itself is consumed). Empty with timedOut() set when no prompt came in time.
    std::string ReadUntilPrompt(DWORD timeoutMs = 20000);
    // Sends line plus a line feed and returns the answer up to the next prompt.
    std::string Request(const std::string& line, DWORD timeoutMs = 20000);
    // Reads until text has arrived on the output pipe; returns and consumes everything up to
    // and including it. Empty with timedOut() set when it did not come in time.
    std::string WaitFor(const std::string& text, DWORD timeoutMs = 20000);
    // Waits until the output pipe ends or waitMs pass, then returns and consumes what arrived.
    std::string ReadAvailable(DWORD waitMs);

    void CloseInput();
    // Posts WM_QUIT to the server's main thread, retrying while the thread has no message queue
    // yet. False when it could not be posted in time.
    bool PostQuit(DWORD timeoutMs = 20000);
    bool IsRunning() const;
    // Waits for the server to exit and returns its exit code; ends it and returns -1 when it
    // did not exit in time. Any output it still wrote is then in Rest().
    int WaitForExit(DWORD timeoutMs = 20000);
    // Output not yet consumed by ReadUntilPrompt; after WaitForExit, everything to the end.
    std::string Rest();
    // With EStandardOutput::Separate: what arrived on the standard output so far (after
    // WaitForExit, everything), consumed.
    std::string StandardOutput();

    bool timedOut() const { return m_timedOut; }
    DWORD processId() const { return m_processId; }
    DWORD threadId() const { return m_threadId; }
    HANDLE process() const { return m_process.get(); }

private:
    struct SStream {
        WinHandle read;
        std::thread reader;
        std::string received;  // not yet consumed
        bool eof = false;
    };

    bool Launch(const std::wstring& commandLine, HANDLE standardOutput);
    void ReaderLoop(SStream& stream);
    void StartReader(SStream& stream);
    void StopReader(SStream& stream);
    void WaitForEnd(SStream& stream, DWORD timeoutMs);

    WinHandle m_process;
    WinHandle m_inputWrite;  // our end of the request pipe
    DWORD m_processId = 0;
    DWORD m_threadId = 0;
    bool m_timedOut = false;
    EStandardOutput m_standardOutput = EStandardOutput::OutputPipe;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    SStream m_output;    // the output pipe
    SStream m_standard;  // the separate standard output, when chosen
};
