// Helpers for the host-side tests: a temporary folder, module files for the stand-in server,
// and file access.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// A fresh folder under the temporary folder, deleted with everything in it at the end.
class TempFolder {
public:
    TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder();

    const std::wstring& path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMachineArm64 = 0xAA64;

// A file with just the DOS and PE headers of the given machine, then "FAKE:<behaviour>" for
// the stand-in server (fake_server.cpp). Creates missing folders.
void WriteFakeModule(const std::wstring& path, const std::string& behaviour, uint16_t machine = kMachineAmd64);

void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
// Moves a file's last-write time forward by the given seconds, as touching it would.
void Touch(const std::wstring& path, int seconds = 10);
bool Exists(const std::wstring& path);

// The folder of the running test executable, its stand-in server folder, and scanhost.exe.
std::wstring BinaryFolder();
std::wstring FakeServerFolder();
std::wstring ScanHostPath();

std::vector<std::string> ReadLines(const std::wstring& path);

// A console program run with its standard output and error captured; ended if still
// running when the object goes.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    bool Start(const std::wstring& program, const std::vector<std::wstring>& arguments);
    // The exit code, or -1 (and the process ended) when it did not exit in time.
    int Wait(DWORD timeoutMs = 120000);
    void Kill();
    DWORD processId() const { return m_processId; }
    std::string out() const;  // complete after Wait
    std::string err() const;

private:
    struct Capture;
    HANDLE m_process = nullptr;
    DWORD m_processId = 0;
    Capture* m_out = nullptr;
    Capture* m_err = nullptr;
};

struct RunResult {
    int exitCode;
    std::string out, err;
};
RunResult RunScanHost(const std::vector<std::wstring>& arguments);
