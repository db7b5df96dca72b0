#include "bench/bench_host.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>

namespace {

const char kPrompt[] = "ready:\n";
constexpr size_t kPromptLength = sizeof kPrompt - 1;

// A pipe whose child end is inheritable and whose parent end is not.
bool CreateChildPipe(HANDLE& read, HANDLE& write, bool childReads) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&read, &write, &inherit, 0)) return false;
    SetHandleInformation(childReads ? write : read, HANDLE_FLAG_INHERIT, 0);
    return true;
}

std::wstring HandleText(HANDLE handle) {
    wchar_t text[32];
    swprintf(text, 32, L"%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

// The prompt ends the text and starts a line.
bool EndsWithPrompt(const std::string& text) {
    if (text.size() < kPromptLength || text.compare(text.size() - kPromptLength, kPromptLength, kPrompt) != 0)
        return false;
    return text.size() == kPromptLength || text[text.size() - kPromptLength - 1] == '\n';
}

}  // namespace

double Now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::wstring BinaryFolder() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::wstring ServerPath() {
#if defined(_WIN64)
    return BinaryFolder() + L"\\ScanServer-x64.exe";
#else
    return BinaryFolder() + L"\\ScanServer-x86.exe";
#endif
}

std::string ToUtf8(const std::wstring& text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], bytes, nullptr, nullptr);
    return result;
}

std::wstring FromUtf8(const std::string& text) {
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(units, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], units);
    return result;
}

// ---- Watchdog ------------------------------------------------------------------------------

Watchdog::Watchdog(HANDLE process) : m_process(process), m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    m_thread = std::thread([this] {
        // Half a second is fine enough for deadlines of many seconds, and costs nothing.
        while (WaitForSingleObject(m_stop.get(), 500) == WAIT_TIMEOUT) {
            ULONGLONG deadline = m_deadline;
            if (deadline != 0 && GetTickCount64() > deadline) {
                m_fired = true;
                m_deadline = 0;
                TerminateProcess(m_process, 0xDEAD);
            }
        }
    });
}

Watchdog::~Watchdog() {
    SetEvent(m_stop.get());
    m_thread.join();
}

void Watchdog::Arm(DWORD timeoutMs) { m_deadline = GetTickCount64() + timeoutMs; }

// ---- BenchHost -----------------------------------------------------------------------------

BenchHost::~BenchHost() {
    if (m_process.valid()) Close();
}

bool BenchHost::Start() { return StartProgram(ServerPath(), L"0"); }

bool BenchHost::StartProgram(const std::wstring& program, const std::wstring& arguments) {
    HANDLE inputRead = nullptr, inputWrite = nullptr, outputRead = nullptr, outputWrite = nullptr;
    if (!CreateChildPipe(inputRead, inputWrite, true)) return false;
    WinHandle childInput(inputRead);
    m_input.reset(inputWrite);
    if (!CreateChildPipe(outputRead, outputWrite, false)) return false;
    WinHandle childOutput(outputWrite);
    m_output.reset(outputRead);

    std::wstring commandLine = L"\"" + program + L"\" " + HandleText(inputRead) + L" " + HandleText(outputWrite) + L" " +
                               arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // no standard handles: everything goes to the pipe
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        fprintf(stderr, "CreateProcessW(%ls) failed: %lu\n", program.c_str(), GetLastError());
        return false;
    }
    CloseHandle(info.hThread);
    m_process.reset(info.hProcess);
    m_watchdog = std::make_unique<Watchdog>(m_process.get());
    // The child ends close here, so that the pipe ends when the server does.
    childInput.reset();
    childOutput.reset();
    return ReadAnswer(60000).prompted;
}

SAnswer BenchHost::Request(const std::string& line, DWORD timeoutMs) {
    std::string bytes = line + "\n";
    DWORD written = 0;
    double sent = Now();
    if (!WriteFile(m_input.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return {};
    SAnswer answer = ReadAnswer(timeoutMs);
    answer.sent = sent;
    return answer;
}

SAnswer BenchHost::ReadAnswer(DWORD timeoutMs) {
    static const char kRecordStart[] = "\n>:{\n";
    SAnswer answer;
    std::string& text = answer.text;
    char buffer[64 * 1024];
    m_watchdog->Arm(timeoutMs);
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(m_output.get(), buffer, sizeof buffer, &count, nullptr) || count == 0) break;
        size_t old = text.size();
        text.append(buffer, count);
        if (answer.recordStart == 0) {
            // Only the new bytes and the few before them that a marker could start in.
            size_t from = old >= sizeof kRecordStart ? old - sizeof kRecordStart : 0;
            if (text.find(kRecordStart, from) != std::string::npos || text.compare(0, 4, ">:{\n") == 0)
                answer.recordStart = Now();
        }
        if (EndsWithPrompt(text)) {
            answer.done = Now();
            answer.prompted = true;
            text.resize(text.size() - kPromptLength);
            break;
        }
    }
    m_watchdog->Disarm();
    return answer;
}

int BenchHost::Close(DWORD timeoutMs) {
    m_input.reset();
    // The server flushes its last lines, and a flush of a pipe waits until the reader has them:
    // read to the end.
    m_watchdog->Arm(timeoutMs);
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(m_output.get(), buffer, sizeof buffer, &count, nullptr) && count > 0) {
    }
    m_watchdog->Disarm();
    int code = -1;
    if (!m_watchdog->fired() && WaitForSingleObject(m_process.get(), timeoutMs) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        GetExitCodeProcess(m_process.get(), &exitCode);
        code = static_cast<int>(exitCode);
    } else {
        TerminateProcess(m_process.get(), 0xDEAD);
        WaitForSingleObject(m_process.get(), 5000);
    }
    m_watchdog.reset();
    m_output.reset();
    m_process.reset();
    return code;
}

size_t BenchHost::PrivateBytes() const { return ::PrivateBytes(m_process.get()); }

// ---- Other programs ------------------------------------------------------------------------

size_t PrivateBytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
        return 0;
    // Wine leaves PrivateUsage at 0. On Windows PagefileUsage is the same figure (the commit
    // charge); Wine fills it from the process's resident anonymous memory and its swap.
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

std::string RunProgram(const std::wstring& commandLine, int& exitCode, DWORD timeoutMs) {
    exitCode = -1;
    HANDLE read = nullptr, write = nullptr;
    if (!CreateChildPipe(read, write, false)) return {};
    WinHandle ours(read), childEnd(write);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        fprintf(stderr, "CreateProcessW(%ls) failed: %lu\n", commandLine.c_str(), GetLastError());
        return {};
    }
    CloseHandle(info.hThread);
    WinHandle process(info.hProcess);
    childEnd.reset();
    std::string output;
    {
        Watchdog watchdog(process.get());
        watchdog.Arm(timeoutMs);
        char buffer[4096];
        DWORD count = 0;
        while (ReadFile(ours.get(), buffer, sizeof buffer, &count, nullptr) && count > 0) output.append(buffer, count);
        WaitForSingleObject(process.get(), timeoutMs);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    exitCode = static_cast<int>(code);
    return output;
}
