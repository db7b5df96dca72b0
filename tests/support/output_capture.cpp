#include "tests/support/output_capture.h"

#include <atomic>
#include <utility>

#include "server/output_channel.h"

OutputCapture::OutputCapture() {
    static std::atomic<int> serial{0};
    wchar_t name[96];
    swprintf(name, 96, L"\\\\.\\pipe\\scan-output-capture-%lu-%d", GetCurrentProcessId(), ++serial);
    // Message mode keeps the boundary of every WriteFile, so a unit that took two writes shows.
    m_read.reset(CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                  0, 1 << 20, 0, nullptr));
    if (!m_read.valid()) return;
    m_write.reset(CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!m_write.valid()) return;
    // The writer flushes after every unit, which waits for a reader.
    m_reader = std::thread([this] { ReadUnits(); });
    m_previous = outputHandle;
    outputHandle = m_write.get();
}

OutputCapture::~OutputCapture() { Finish(); }

void OutputCapture::ReadUnits() {
    std::string unit;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        DWORD count = 0;
        BOOL ok = ReadFile(m_read.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &count, nullptr);
        if (!ok && GetLastError() == ERROR_MORE_DATA) {
            unit.append(buffer.data(), count);
            continue;
        }
        if (!ok) break;
        unit.append(buffer.data(), count);
        m_units.push_back(std::move(unit));
        unit.clear();
    }
}

std::vector<std::string> OutputCapture::Finish() {
    if (m_write.valid()) {
        outputHandle = m_previous;
        m_write.reset();  // the reader sees the end once it has read everything
    }
    if (m_reader.joinable()) m_reader.join();
    return std::exchange(m_units, {});
}

std::string OutputCapture::FinishBytes() {
    std::string bytes;
    for (const std::string& unit : Finish()) bytes += unit;
    return bytes;
}
