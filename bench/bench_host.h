// A lean host for the benchmarks: starts the real scan server with two pipes as a host does and
// reads its answers on the calling thread, scanning only the bytes that arrived since the last
// read. So a figure holds the server's work and the pipe, not a reader thread's hand-offs, and
// a 100,000-line answer costs the host no more per line than a short one.
//
// A watchdog ends a server that does not prompt within the request's time limit: the read then
// fails and the request reports it, so no benchmark hangs.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/win_handle.h"

// Seconds on the performance counter.
double Now();

// Ends a process when an armed deadline passes; a blocked read of its pipe then fails.
class Watchdog {
public:
    explicit Watchdog(HANDLE process);
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    ~Watchdog();

    void Arm(DWORD timeoutMs);
    void Disarm() { m_deadline = 0; }
    bool fired() const { return m_fired; }

private:
    HANDLE m_process;  // not owned
    std::atomic<ULONGLONG> m_deadline{0};  // GetTickCount64() value; 0: none
    std::atomic<bool> m_fired{false};
    WinHandle m_stop;
    std::thread m_thread;
};

// What one request brought back.
struct SAnswer {
    bool prompted = false;    // the next "ready:\n" arrived
    std::string text;         // everything before the prompt
    double sent = 0;          // when the request was written
    double recordStart = 0;   // when the ">:{" line arrived (0: it did not)
    double done = 0;          // when the prompt arrived
};

class BenchHost {
public:
    BenchHost() = default;
    BenchHost(const BenchHost&) = delete;
    BenchHost& operator=(const BenchHost&) = delete;
    ~BenchHost();  // closes the input, waits for the exit, ends a server that stays

    // Starts the server next to this executable and reads up to its first prompt.
    bool Start();
    // The same for another program that speaks the protocol: its command line is the program,
    // the two pipe handles and then arguments.
    bool StartProgram(const std::wstring& program, const std::wstring& arguments);
    // Writes line and a line feed in one write, then reads up to the next prompt.
    SAnswer Request(const std::string& line, DWORD timeoutMs = 120000);
    // Closes the input pipe and returns the exit code; -1 when the server had to be ended.
    int Close(DWORD timeoutMs = 20000);

    size_t PrivateBytes() const;
    HANDLE process() const { return m_process.get(); }

private:
    // Reads until the answer ends with a prompt, or the pipe ends.
    SAnswer ReadAnswer(DWORD timeoutMs);

    WinHandle m_process;
    WinHandle m_input;   // our end of the request pipe
    WinHandle m_output;  // our end of the answer pipe
    std::unique_ptr<Watchdog> m_watchdog;
};

// A process's private bytes as the platform counts them; 0 when the query failed.
size_t PrivateBytes(HANDLE process);

// Runs a program with its standard output on a pipe and returns what it wrote; exitCode gets
// its exit code (-1 when it had to be ended after timeoutMs).
std::string RunProgram(const std::wstring& commandLine, int& exitCode, DWORD timeoutMs = 600000);

// The folder of this executable, where the server and the plugins folder are.
std::wstring BinaryFolder();
// The scan server of this build in that folder.
std::wstring ServerPath();
// UTF-8 from UTF-16 and back, for request lines and paths.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// The median of a set of figures (0 for none).
double Median(std::vector<double> values);
