#include "tests/support/test_host.h"

#include <chrono>
#include <cstdio>

namespace {

// Pipes and process creation are serialised so that a child never inherits another child's
// pipe ends (which would keep that pipe open after its server exits).
std::mutex launchMutex;

std::wstring Hex(HANDLE handle) {
    wchar_t text[32];
    swprintf(text, 32, L"%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

void ReplaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to) {
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

TestHost::~TestHost() {
    m_inputWrite.reset();
    if (m_process.valid() && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_process.get(), 0xDEAD);
        WaitForSingleObject(m_process.get(), 5000);
    }
    m_outputRead.reset();  // unblocks the reader if anything still holds the write end
    if (m_reader.joinable()) m_reader.join();
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

bool TestHost::StartWithArguments(const std::wstring& arguments) {
    std::lock_guard<std::mutex> lock(launchMutex);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE inputRead = nullptr, inputWrite = nullptr, outputRead = nullptr, outputWrite = nullptr;
    if (!CreatePipe(&inputRead, &inputWrite, &inherit, 0)) return false;
    if (!CreatePipe(&outputRead, &outputWrite, &inherit, 0)) {
        CloseHandle(inputRead);
        CloseHandle(inputWrite);
        return false;
    }
    // Only the child's ends are inherited.
    SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);
    m_inputWrite.reset(inputWrite);
    m_outputRead.reset(outputRead);
    m_childInput = inputRead;
    m_childOutput = outputWrite;

    std::wstring text = arguments;
    ReplaceAll(text, L"%IN%", Hex(inputRead));
    ReplaceAll(text, L"%OUT%", Hex(outputWrite));
    bool started = Launch(L"\"" + ServerPath() + L"\" " + text);
    CloseHandle(m_childInput);
    CloseHandle(m_childOutput);
    m_childInput = m_childOutput = nullptr;
    if (started) m_reader = std::thread([this] { ReaderLoop(); });
    return started;
}

bool TestHost::Launch(const std::wstring& commandLine) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = m_childOutput;
    startup.hStdError = nullptr;
    PROCESS_INFORMATION info = {};
    std::wstring mutableLine = commandLine;
    if (!CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    m_process.reset(info.hProcess);
    m_processId = info.dwProcessId;
    return true;
}

void TestHost::ReaderLoop() {
    char buffer[4096];
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(m_outputRead.get(), buffer, sizeof buffer, &count, nullptr) || count == 0) break;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.append(buffer, count);
        m_changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_eof = true;
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
    size_t at = std::string::npos;
    auto found = [&] {
        at = m_received.rfind(kPrompt, 0) == 0 ? 0 : m_received.find("\n" + kPrompt);
        if (at != std::string::npos && at != 0) ++at;
        return at != std::string::npos || m_eof;
    };
    m_timedOut = !m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), found) || at == std::string::npos;
    if (m_timedOut) return {};
    std::string before = m_received.substr(0, at);
    m_received.erase(0, at + kPrompt.size());
    return before;
}

std::string TestHost::Request(const std::string& line, DWORD timeoutMs) {
    if (!Send(line + "\n")) return {};
    return ReadUntilPrompt(timeoutMs);
}

std::string TestHost::ReadAvailable(DWORD waitMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return m_eof; });
    return std::exchange(m_received, {});
}

void TestHost::CloseInput() { m_inputWrite.reset(); }

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
    // The child's end of the output pipe is closed with it: the reader sees the end soon.
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(5000), [&] { return m_eof; });
    return static_cast<int>(code);
}

std::string TestHost::Rest() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_received, {});
}
