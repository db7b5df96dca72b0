#include "host/server_process.h"

#include <cstdio>
#include <mutex>
#include <utility>

#include "host/utf.h"

namespace ScanHost {

namespace {

// Pipe creation and process creation are one step for all servers of the process: while one
// server is being created, no other server's pipe ends are inheritable, so no server holds
// another's pipe open (which would hide that server's exit from its reader).
std::mutex launchMutex;

constexpr DWORD kReaderGraceMs = 2000;

ULONGLONG Now() { return GetTickCount64(); }

// Milliseconds left until a deadline (0 = none): INFINITE for none.
DWORD Remaining(ULONGLONG deadline) {
    if (deadline == 0) return INFINITE;
    ULONGLONG now = Now();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

std::string ErrorText(const char* function) {
    return std::string(function) + " failed (error " + std::to_string(GetLastError()) + ")";
}

// Inherits exactly the given handles where the system allows it; where it does not, the
// launch lock still keeps other servers' pipes out.
class HandleList {
public:
    explicit HandleList(std::vector<HANDLE> handles) : m_handles(std::move(handles)) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        m_storage.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_storage.data());
        if (size && InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            m_initialised = true;
            if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, m_handles.data(),
                                          m_handles.size() * sizeof(HANDLE), nullptr, nullptr))
                m_list = list;
        }
    }
    HandleList(const HandleList&) = delete;
    HandleList& operator=(const HandleList&) = delete;
    ~HandleList() {
        if (m_initialised) DeleteProcThreadAttributeList(reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_storage.data()));
    }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return m_list; }

private:
    std::vector<HANDLE> m_handles;
    std::vector<unsigned char> m_storage;
    LPPROC_THREAD_ATTRIBUTE_LIST m_list = nullptr;
    bool m_initialised = false;
};

}  // namespace

// Reads the server's output on a thread of its own, so that the waiting side can watch the
// process, the clock and the cancel event at once (anonymous pipes have no overlapped reads).
// Shared with the thread: if a process the plug-in started holds the pipe open after the
// server is gone, the thread may outlive this object.
struct ScanServerProcess::Reader {
    WinHandle pipe;
    WinHandle dataEvent{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    WinHandle doneEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::mutex mutex;
    std::string data;
    bool eof = false;

    static DWORD WINAPI Main(void* parameter) {
        std::shared_ptr<Reader> self = std::move(*static_cast<std::shared_ptr<Reader>*>(parameter));
        delete static_cast<std::shared_ptr<Reader>*>(parameter);
        char buffer[8192];
        for (;;) {
            DWORD count = 0;
            if (!ReadFile(self->pipe.get(), buffer, sizeof buffer, &count, nullptr) || count == 0) break;
            std::lock_guard<std::mutex> lock(self->mutex);
            self->data.append(buffer, count);
            SetEvent(self->dataEvent.get());
        }
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->eof = true;
        }
        SetEvent(self->dataEvent.get());
        SetEvent(self->doneEvent.get());
        return 0;
    }
};

std::wstring HandleArgument(HANDLE handle) {
    wchar_t text[32];
    swprintf(text, 32, L"%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

ScanServerProcess::ScanServerProcess(ServerConfig config) : m_config(std::move(config)) {}

ScanServerProcess::~ScanServerProcess() {
    if (running()) Terminate();
    StopReader();
}

bool ScanServerProcess::running() const {
    return m_process.valid() && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT;
}

ServerReply ScanServerProcess::Start(DWORD timeoutMs, HANDLE cancel) {
    auto reader = std::make_shared<Reader>();
    {
        std::lock_guard<std::mutex> lock(launchMutex);
        HANDLE inputRead = nullptr, inputWrite = nullptr, outputRead = nullptr, outputWrite = nullptr;
        if (!CreatePipe(&inputRead, &inputWrite, nullptr, 0)) throw ServerStartError(ErrorText("CreatePipe"));
        WinHandle childInput(inputRead);
        m_input.reset(inputWrite);
        if (!CreatePipe(&outputRead, &outputWrite, nullptr, 0)) throw ServerStartError(ErrorText("CreatePipe"));
        WinHandle childOutput(outputWrite);
        reader->pipe.reset(outputRead);
        // The server reads handle values as 32-bit numbers; system handles always fit.
        if (reinterpret_cast<uintptr_t>(inputRead) > 0xFFFFFFFFu || reinterpret_cast<uintptr_t>(outputWrite) > 0xFFFFFFFFu)
            throw ServerStartError("a pipe handle value does not fit into 32 bits");
        if (!SetHandleInformation(inputRead, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) ||
            !SetHandleInformation(outputWrite, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
            throw ServerStartError(ErrorText("SetHandleInformation"));

        // A trailing backslash would escape the closing quote of the argument.
        std::wstring dumpFolder = m_config.dumpFolder;
        while (!dumpFolder.empty() && (dumpFolder.back() == L'\\' || dumpFolder.back() == L'/')) dumpFolder.pop_back();
        std::wstring commandLine = L"\"" + m_config.executable + L"\" " + HandleArgument(inputRead) + L" " +
                                   HandleArgument(outputWrite) + L" 0 \"" + dumpFolder + L"\"";

        STARTUPINFOEXW startup = {};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdOutput = outputWrite;  // output that falls back to it lands in the pipe too
        HandleList inherited({inputRead, outputWrite});
        DWORD flags = CREATE_SUSPENDED;
        if (inherited.get()) {
            startup.lpAttributeList = inherited.get();
            flags |= EXTENDED_STARTUPINFO_PRESENT;
        } else {
            startup.StartupInfo.cb = sizeof(STARTUPINFOW);
        }
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(m_config.executable.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags, nullptr,
                            nullptr, &startup.StartupInfo, &info))
            throw ServerStartError("cannot start " + ToUtf8(m_config.executable) + ": " + ErrorText("CreateProcess"));
        m_process.reset(info.hProcess);
        WinHandle thread(info.hThread);
        m_processId = info.dwProcessId;
        // In the job before it runs any code, so that no plug-in outlives a killed scanhost.
        if (m_config.job) AssignProcessToJobObject(m_config.job, info.hProcess);
        ResumeThread(thread.get());
    }  // the child's pipe ends are closed here: only the server holds them now

    auto* parameter = new std::shared_ptr<Reader>(reader);
    m_readerThread.reset(CreateThread(nullptr, 0, &Reader::Main, parameter, 0, nullptr));
    if (!m_readerThread.valid()) {
        delete parameter;
        Terminate();
        throw ServerStartError(ErrorText("CreateThread"));
    }
    m_reader = std::move(reader);
    m_transcript = TranscriptReader();
    return Wait(timeoutMs, cancel);
}

ServerReply ScanServerProcess::Request(const std::string& line, DWORD timeoutMs, HANDLE cancel) {
    std::string bytes = line + "\n";
    DWORD written = 0;
    if (!WriteFile(m_input.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        // The server is gone: report its exit.
        ServerReply reply = Wait(kReaderGraceMs, cancel);
        if (reply.end == EServerEnd::Prompt || reply.end == EServerEnd::TimedOut) {
            Terminate();
            reply.end = EServerEnd::Exited;
            GetExitCodeProcess(m_process.get(), &reply.exitCode);
        }
        return reply;
    }
    return Wait(timeoutMs, cancel);
}

ServerReply ScanServerProcess::Wait(DWORD timeoutMs, HANDLE cancel) {
    ULONGLONG deadline = timeoutMs == 0 ? 0 : Now() + timeoutMs;
    ServerReply reply;
    for (;;) {
        bool eof;
        {
            std::lock_guard<std::mutex> lock(m_reader->mutex);
            m_transcript.Append(m_reader->data);
            m_reader->data.clear();
            eof = m_reader->eof;
        }
        if (m_transcript.TakeAnswer(reply.units)) {
            reply.end = EServerEnd::Prompt;
            return reply;
        }
        if (eof) break;
        HANDLE handles[3] = {m_reader->dataEvent.get(), m_process.get(), cancel};
        DWORD count = cancel ? 3 : 2;
        DWORD result = WaitForMultipleObjects(count, handles, FALSE, Remaining(deadline));
        if (result == WAIT_OBJECT_0) continue;
        if (result == WAIT_OBJECT_0 + 1) break;
        reply.units = m_transcript.Partial();
        if (result == WAIT_OBJECT_0 + 2) {
            reply.end = EServerEnd::Cancelled;
            return reply;
        }
        reply.end = EServerEnd::TimedOut;
        return reply;
    }

    // The process ended or closed its output. What it wrote before is still in the pipe: wait
    // (briefly) for the reader to drain it.
    WaitForSingleObject(m_reader->doneEvent.get(), kReaderGraceMs);
    {
        std::lock_guard<std::mutex> lock(m_reader->mutex);
        m_transcript.Append(m_reader->data);
        m_reader->data.clear();
    }
    if (m_transcript.TakeAnswer(reply.units)) {
        reply.end = EServerEnd::Prompt;
        return reply;
    }
    reply.units = m_transcript.Partial();
    // Output closed while the process lives on: it can serve nothing more.
    if (WaitForSingleObject(m_process.get(), Remaining(deadline)) != WAIT_OBJECT_0) Terminate();
    GetExitCodeProcess(m_process.get(), &reply.exitCode);
    reply.end = EServerEnd::Exited;
    return reply;
}

DWORD ScanServerProcess::Close(DWORD graceMs) {
    DWORD code = 0;
    if (!m_process.valid()) return code;
    m_input.reset();
    if (WaitForSingleObject(m_process.get(), graceMs) != WAIT_OBJECT_0) Terminate();
    GetExitCodeProcess(m_process.get(), &code);
    StopReader();
    return code;
}

void ScanServerProcess::Terminate() {
    if (!m_process.valid()) return;
    TerminateProcess(m_process.get(), 1);
    WaitForSingleObject(m_process.get(), 10000);
    m_input.reset();
}

void ScanServerProcess::StopReader() {
    if (!m_readerThread.valid()) return;
    if (WaitForSingleObject(m_reader->doneEvent.get(), kReaderGraceMs) != WAIT_OBJECT_0) {
        // Another process still holds the server's output pipe: cut the read short; if the
        // system cannot, the thread keeps its own share of the state and ends later.
        CancelSynchronousIo(m_readerThread.get());
        WaitForSingleObject(m_reader->doneEvent.get(), kReaderGraceMs);
    }
    m_readerThread.reset();
    m_reader.reset();
}

}  // namespace ScanHost
