// Captures what the output channel sends: while a UnitCapture lives, outputHandle is the write
// end of a message-mode pipe, so every WriteFile of the channel arrives as one message and the
// units can be compared byte for byte, boundaries included.
#pragma once

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "server/output_channel.h"
#include "tests/support/win_handle.h"

class UnitCapture {
public:
    UnitCapture() : m_saved(outputHandle) {
        static LONG serial = 0;
        wchar_t name[96];
        swprintf(name, 96, L"\\\\.\\pipe\\scan-unit-capture-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&serial));
        m_read.reset(CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                      0, 1 << 16, 0, nullptr));
        if (!m_read.valid()) return;
        m_write.reset(CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!m_write.valid()) return;
        // The channel flushes after every unit, and a flush of a pipe waits for the reader.
        m_reader = std::thread([this] { ReadAll(); });
        outputHandle = m_write.get();
    }
    ~UnitCapture() { Stop(); }
    UnitCapture(const UnitCapture&) = delete;
    UnitCapture& operator=(const UnitCapture&) = delete;

    bool ok() const { return m_read.valid() && m_write.valid(); }

    // Ends the capture and returns every unit written since it began, in order.
    const std::vector<std::string>& Stop() {
        if (m_write.valid()) {
            outputHandle = m_saved;
            m_write.reset();
        }
        if (m_reader.joinable()) m_reader.join();
        return m_units;
    }

private:
    void ReadAll() {
        std::string unit;
        char buffer[4096];
        for (;;) {
            DWORD count = 0;
            BOOL done = ReadFile(m_read.get(), buffer, sizeof buffer, &count, nullptr);
            if (!done && GetLastError() != ERROR_MORE_DATA) break;
            unit.append(buffer, count);
            if (done) {
                m_units.push_back(unit);
                unit.clear();
            }
        }
    }

    HANDLE m_saved;
    WinHandle m_read;
    WinHandle m_write;
    std::thread m_reader;
    std::vector<std::string> m_units;
};
