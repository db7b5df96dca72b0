#include "tests/support/test_host.h"

#include <chrono>
#include <cstdio>
#include <cwctype>
#include <utility>

namespace {

// Pipes and process creation are serialised so that a child never inherits another child's
// pipe ends (which would keep that pipe open after its server exits).
std::mutex launchMutex;

std::wstring Hex(HANDLE handle, const wchar_t* format) {
    wchar_t text[32];
    swprintf(text, 32, format, static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

void ReplaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to) {
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

void ReplaceHandle(std::wstring& text, const std::wstring& name, HANDLE handle) {
    std::wstring lower = name;
    for (wchar_t& c : lower) c = towlower(c);
    ReplaceAll(text, L"%" + name + L"8%", Hex(handle, L"%08llX"));
    ReplaceAll(text, L"%" + name + L"%", Hex(handle, L"%llX"));
    ReplaceAll(text, L"%" + lower + L"%", Hex(handle, L"%llx"));
}

// A pipe whose child end is inheritable and whose parent end is not.
bool CreateChildPipe(HANDLE& read, HANDLE& write, bool childReads) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&read, &write, &inherit, 0)) return false;
    SetHandleInformation(childReads ? write : read, HANDLE_FLAG_INHERIT, 0);
    return true;
}

}  // namespace

TestHost::~TestHost() {
    m_inputWrite.reset();
    if (IsRunning()) {
        TerminateProcess(m_process.get(), 0xDEAD);
        WaitForSingleObject(m_process.get(), 5000);
    }
    StopReader(m_output);
    StopReader(m_standard);
}

std::wstring TestHost::BinaryFolder() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::wstring TestHost::ServerPath() {
#if defined(_WIN64)
    return BinaryFolder() + L"\\ScanServer-x64.exe";
#else
    return BinaryFolder() + L"\\ScanServer-x86.exe";
#endif
}

bool TestHost::Start(const std::wstring& dumpFolder, const std::wstring& owner, bool passEmptyDumpFolder) {
    std::wstring arguments = L"%IN% %OUT% " + owner;
    if (!dumpFolder.empty())
        arguments += L" \"" + dumpFolder + L"\"";
    else if (passEmptyDumpFolder)
        arguments += L" \"\"";
    return StartWithArguments(arguments);
}

bool TestHost::StartWithArguments(const std::wstring& arguments) { return StartProgram(ServerPath(), arguments); }

bool TestHost::StartProgram(const std::wstring& program, const std::wstring& arguments) {
    std::lock_guard<std::mutex> lock(launchMutex);
    HANDLE inputRead = nullptr, inputWrite = nullptr, outputRead = nullptr, outputWrite = nullptr;
    HANDLE standardRead = nullptr, standardWrite = nullptr;
    if (!CreateChildPipe(inputRead, inputWrite, true)) return false;
    WinHandle childInput(inputRead);
    m_inputWrite.reset(inputWrite);
    if (!CreateChildPipe(outputRead, outputWrite, false)) return false;
    WinHandle childOutput(outputWrite);
    m_output.read.reset(outputRead);
    WinHandle childStandard;
    HANDLE standardOutput = nullptr;
    switch (m_standardOutput) {
        case EStandardOutput::OutputPipe:
            standardOutput = outputWrite;
            break;
        case EStandardOutput::Separate:
            if (!CreateChildPipe(standardRead, standardWrite, false)) return false;
            childStandard.reset(standardWrite);
            m_standard.read.reset(standardRead);
            standardOutput = standardWrite;
            break;
        case EStandardOutput::None:
            break;
    }

    std::wstring text = arguments;
    ReplaceHandle(text, L"IN", inputRead);
    ReplaceHandle(text, L"OUT", outputWrite);
    // The child ends are closed here once the child holds its own copies, so that the pipes
    // end when the child does.
    if (!Launch(L"\"" + program + L"\" " + text, standardOutput)) return false;
    StartReader(m_output);
    if (m_standard.read.valid()) StartReader(m_standard);
    return true;
}

bool TestHost::Launch(const std::wstring& commandLine, HANDLE standardOutput) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = standardOutput;
    startup.hStdError = nullptr;
    PROCESS_INFORMATION info = {};
    std::wstring mutableLine = commandLine;
    if (!CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    m_process.reset(info.hProcess);
    m_processId = info.dwProcessId;
    m_threadId = info.dwThreadId;
    return true;
}

void TestHost::StartReader(SStream& stream) {
    stream.reader = std::thread([this, &stream] { ReaderLoop(stream); });
}

void TestHost::StopReader(SStream& stream) {
    // Once the child is gone nothing holds the write end: the reader sees the end and returns.
    if (stream.reader.joinable()) stream.reader.join();
    stream.read.reset();
}

void TestHost::ReaderLoop(SStream& stream) {
    char buffer[4096];
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(stream.read.get(), buffer, sizeof buffer, &count, nullptr) || count == 0) break;
        std::lock_guard<std::mutex> lock(m_mutex);
        stream.received.append(buffer, count);
        m_changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    stream.eof = true;
    m_changed.notify_all();
}

bool TestHost::Send(const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(m_inputWrite.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::string TestHost::ReadUntilPrompt(DWORD timeoutMs) {
    static const std::string kPrompt = "ready:\n";
    std::unique_lock<std::mutex> lock(m_mutex);
    std::string& received = m_output.received;
    size_t at = std::string::npos;
    size_t from = 0;  // where the next search starts, so a long answer is scanned once
    auto found = [&] {
        // A prompt starts a line: at the very start, or right after a line feed.
        if (received.rfind(kPrompt, 0) == 0) {
            at = 0;
            return true;
        }
        size_t hit = received.find("\n" + kPrompt, from);
        if (hit != std::string::npos) {
            at = hit + 1;
            return true;
        }
        from = received.size() > kPrompt.size() ? received.size() - kPrompt.size() : 0;
        return m_output.eof;
    };
    m_timedOut = !m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), found) || at == std::string::npos;
    if (m_timedOut) return {};
    std::string before = received.substr(0, at);
    received.erase(0, at + kPrompt.size());
    return before;
}

std::string TestHost::Request(const std::string& line, DWORD timeoutMs) {
    if (!Send(line + "\n")) return {};
    return ReadUntilPrompt(timeoutMs);
}

std::string TestHost::WaitFor(const std::string& text, DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::string& received = m_output.received;
    size_t at = std::string::npos;
    size_t from = 0;
    auto found = [&] {
        at = received.find(text, from);
        if (at == std::string::npos) from = received.size() > text.size() ? received.size() - text.size() : 0;
        return at != std::string::npos || m_output.eof;
    };
    m_timedOut = !m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), found) || at == std::string::npos;
    if (m_timedOut) return {};
    std::string upTo = received.substr(0, at + text.size());
    received.erase(0, at + text.size());
    return upTo;
}

std::string TestHost::ReadAvailable(DWORD waitMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return m_output.eof; });
    return std::exchange(m_output.received, {});
}

void TestHost::CloseInput() { m_inputWrite.reset(); }

bool TestHost::PostQuit(DWORD timeoutMs) {
    // The thread gets its message queue with its first window or message call; until then the
    // post is refused.
    DWORD start = GetTickCount();
    while (!PostThreadMessageW(m_threadId, WM_QUIT, 0, 0)) {
        if (!IsRunning() || GetTickCount() - start > timeoutMs) return false;
        Sleep(20);
    }
    return true;
}

bool TestHost::IsRunning() const {
    return m_process.valid() && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT;
}

void TestHost::WaitForEnd(SStream& stream, DWORD timeoutMs) {
    if (!stream.read.valid()) return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return stream.eof; });
}

int TestHost::WaitForExit(DWORD timeoutMs) {
    if (!m_process.valid()) return -1;
    if (WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(m_process.get(), 0xDEAD);
        WaitForSingleObject(m_process.get(), 5000);
        m_timedOut = true;
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(m_process.get(), &code);
    // The child's ends of the pipes are closed with it: the readers see the end soon.
    WaitForEnd(m_output, 5000);
    WaitForEnd(m_standard, 5000);
    return static_cast<int>(code);
}

std::string TestHost::Rest() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_output.received, {});
}

std::string TestHost::StandardOutput() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_standard.received, {});
}
