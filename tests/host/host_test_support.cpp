#include "tests/host/host_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "host/utf.h"

namespace {

void DeleteTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = folder + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

void CreateFolders(const std::wstring& file) {
    for (size_t at = file.find(L'\\', 3); at != std::wstring::npos; at = file.find(L'\\', at + 1))
        CreateDirectoryW(file.substr(0, at).c_str(), nullptr);
}

}  // namespace

TempFolder::TempFolder() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static int counter = 0;
    for (;;) {
        m_path = std::wstring(base) + L"scanhost-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++counter);
        if (CreateDirectoryW(m_path.c_str(), nullptr)) break;
    }
}

TempFolder::~TempFolder() { DeleteTree(m_path); }

void WriteFakeModule(const std::wstring& path, const std::string& behaviour, uint16_t machine) {
    std::string bytes(0x40 + 24, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[0x3C] = 0x40;  // the PE header follows the DOS header
    bytes.replace(0x40, 4, std::string("PE\0\0", 4));
    bytes[0x44] = static_cast<char>(machine & 0xFF);
    bytes[0x45] = static_cast<char>(machine >> 8);
    WriteBytes(path, bytes + "\nFAKE:" + behaviour + "\n");
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    CreateFolders(path);
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << ScanHost::ToUtf8(path);
}

std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void Touch(const std::wstring& path, int seconds) {
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME written;
    GetFileTime(file, nullptr, nullptr, &written);
    ULARGE_INTEGER time;
    time.LowPart = written.dwLowDateTime;
    time.HighPart = written.dwHighDateTime;
    time.QuadPart += static_cast<ULONGLONG>(seconds) * 10000000;
    written.dwLowDateTime = time.LowPart;
    written.dwHighDateTime = time.HighPart;
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
    CloseHandle(file);
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring BinaryFolder() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::wstring FakeServerFolder() { return BinaryFolder() + L"\\fakeserver"; }

std::wstring ScanHostPath() { return BinaryFolder() + L"\\scanhost.exe"; }

std::vector<std::string> ReadLines(const std::wstring& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadBytes(path));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

struct ChildProcess::Capture {
    explicit Capture(HANDLE pipe) : read(pipe) {}
    HANDLE read = nullptr;
    std::thread thread;
    std::string text;

    void Run() {
        char buffer[4096];
        DWORD count = 0;
        while (ReadFile(read, buffer, sizeof buffer, &count, nullptr) && count > 0) text.append(buffer, count);
    }
    ~Capture() {
        if (thread.joinable()) thread.join();
        CloseHandle(read);
    }
};

namespace {

std::wstring Quote(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    for (size_t i = 0; i < argument.size(); ++i) {
        size_t slashes = 0;
        while (i < argument.size() && argument[i] == L'\\') ++slashes, ++i;
        if (i == argument.size()) {
            quoted.append(slashes * 2, L'\\');
            break;
        }
        if (argument[i] == L'"') quoted.append(slashes * 2 + 1, L'\\');
        else quoted.append(slashes, L'\\');
        quoted += argument[i];
    }
    return quoted + L"\"";
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (m_process) {
        Kill();
        CloseHandle(m_process);
    }
    delete m_out;
    delete m_err;
}

bool ChildProcess::Start(const std::wstring& program, const std::vector<std::wstring>& arguments) {
    std::wstring commandLine = Quote(program);
    for (const std::wstring& argument : arguments) commandLine += L" " + Quote(argument);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&errRead, &errWrite, &inherit, 0)) return false;
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &info);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    m_out = new Capture(outRead);
    m_err = new Capture(errRead);
    m_out->thread = std::thread([this] { m_out->Run(); });
    m_err->thread = std::thread([this] { m_err->Run(); });
    if (!started) return false;
    CloseHandle(info.hThread);
    m_process = info.hProcess;
    m_processId = info.dwProcessId;
    return true;
}

int ChildProcess::Wait(DWORD timeoutMs) {
    if (!m_process) return -1;
    if (WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) {
        Kill();
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    // Its output ends with it (nothing else holds the pipes).
    if (m_out->thread.joinable()) m_out->thread.join();
    if (m_err->thread.joinable()) m_err->thread.join();
    return static_cast<int>(code);
}

void ChildProcess::Kill() {
    if (m_process && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_process, 1);
        WaitForSingleObject(m_process, 10000);
    }
}

std::string ChildProcess::out() const { return m_out ? m_out->text : std::string(); }
std::string ChildProcess::err() const { return m_err ? m_err->text : std::string(); }

RunResult RunScanHost(const std::vector<std::wstring>& arguments) {
    ChildProcess child;
    if (!child.Start(ScanHostPath(), arguments)) return {-2, "", "cannot start scanhost.exe"};
    int code = child.Wait();
    return {code, child.out(), child.err()};
}
