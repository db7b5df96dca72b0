// The host's side of the pipes misbehaving: it closes the request pipe while a scan runs, or
// closes its end of the answer pipe and stops reading.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/robust/robust_support.h"
#include "tests/support/win_handle.h"

namespace {

// The fixture hostile-waits-for-host releases this semaphore when its entry point runs, and
// then waits for this event, when they exist.
const wchar_t kEntered[] = L"VelmorantRobustEntered";
const wchar_t kGate[] = L"VelmorantRobustGate";

// Waits until the fixture's entry point has run once more.
bool EntryPointRan(HANDLE entered) { return WaitForSingleObject(entered, 20000) == WAIT_OBJECT_0; }

// A server whose answer pipe the host reads only up to the first prompt and then closes;
// requests still go in.
class CDeafHost {
public:
    bool Start() {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE read = nullptr, write = nullptr;
        if (!CreatePipe(&read, &write, &inherit, 0)) return false;
        WinHandle childInput(read);
        m_input.reset(write);
        SetHandleInformation(write, HANDLE_FLAG_INHERIT, 0);
        if (!CreatePipe(&read, &write, &inherit, 0)) return false;
        WinHandle childOutput(write);
        m_output.reset(read);
        SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);

        wchar_t arguments[64];
        swprintf(arguments, 64, L" %llX %llX 0", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(childInput.get())),
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(childOutput.get())));
        std::wstring commandLine = L"\"" + TestHost::ServerPath() + L"\"" + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = childOutput.get();
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
            return false;
        CloseHandle(info.hThread);
        m_process.reset(info.hProcess);
        return true;
    }

    // Reads the banner and the first prompt, then closes the host's end of the answer pipe.
    bool ReadBannerAndStopListening() {
        static const std::string kStart = "info:Velmorant Plugin Scan Server (" +
#if defined(_WIN64)
                                          std::string("x64") +
#else
                                          std::string("x86") +
#endif
                                          ")\nready:\n";
        std::string received;
        char buffer[256];
        DWORD count = 0;
        while (received.size() < kStart.size() && ReadFile(m_output.get(), buffer, sizeof buffer, &count, nullptr) &&
               count > 0)
            received.append(buffer, count);
        m_output.reset();
        return received == kStart;
    }

    bool Send(const std::string& line) {
        ++Tally().requests;
        std::string bytes = line + "\n";
        DWORD written = 0;
        return WriteFile(m_input.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }

    void CloseInput() { m_input.reset(); }

    int WaitForExit() {
        if (WaitForSingleObject(m_process.get(), 20000) != WAIT_OBJECT_0) {
            TerminateProcess(m_process.get(), 0xDEAD);
            WaitForSingleObject(m_process.get(), 5000);
            return -1;
        }
        DWORD code = 0;
        GetExitCodeProcess(m_process.get(), &code);
        return static_cast<int>(code);
    }

    ~CDeafHost() {
        m_input.reset();
        if (m_process.valid() && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_process.get(), 0xDEAD);
            WaitForSingleObject(m_process.get(), 5000);
        }
    }

private:
    WinHandle m_process;
    WinHandle m_input;
    WinHandle m_output;
};

}  // namespace

// The request is in the pipe and the plug-in inside its entry point when the host closes the
// request pipe: the scan finishes and is answered, then the server ends as after any close.
TEST(HostSideTest, InputClosedMidScanFinishesTheScanThenExits) {
    WinHandle entered(CreateSemaphoreW(nullptr, 0, 100, kEntered));
    WinHandle gate(CreateEventW(nullptr, TRUE, FALSE, kGate));
    ASSERT_TRUE(entered.valid() && gate.valid());

    TestHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_FALSE(host.ReadUntilPrompt().empty());
    ++Tally().requests;
    ASSERT_TRUE(host.Send(Utf8(PluginPath(L"hostile-waits-for-host")) + "\n"));
    ASSERT_TRUE(EntryPointRan(entered.get()));
    host.CloseInput();
    SetEvent(gate.get());

    std::string answer = host.ReadUntilPrompt();
    ASSERT_FALSE(host.timedOut()) << host.Rest();
    SRecord record = CompleteRecord(answer);
    EXPECT_EQ(record.Member("error"), "");
    EXPECT_EQ(record.Member("name"), "Waiting Shell");
    EXPECT_EQ(record.shells.size(), 1u);
    EXPECT_EQ(host.WaitForExit(), 0);
    EXPECT_EQ(host.Rest(), "info:Freeing cached library...\ninfo:Freed\n") << "the exit sequence frees the shell";
    if (!HasFailure()) ++Tally().faults;
}

// Every answer is lost, but each request is still served (the plug-in's entry point runs for
// each, loaded anew, re-used and loaded again), and the server ends normally when the host
// closes the request pipe.
TEST(HostSideTest, OutputClosedByTheHostStillServesEveryRequest) {
    WinHandle entered(CreateSemaphoreW(nullptr, 0, 100, kEntered));
    ASSERT_TRUE(entered.valid());
    CDeafHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_TRUE(host.ReadBannerAndStopListening());

    std::string path = Utf8(PluginPath(L"hostile-waits-for-host"));
    std::string otherCase = Utf8(TestHost::BinaryFolder() + L"\\plugins\\HOSTILE-WAITS-FOR-HOST.dll");
    for (const std::string& request : {path, path + ">57616974", otherCase, path}) {
        SCOPED_TRACE(request);
        ASSERT_TRUE(host.Send(request));
        ASSERT_TRUE(EntryPointRan(entered.get())) << "the request was not served";
    }
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
    if (!HasFailure()) ++Tally().faults;
}
