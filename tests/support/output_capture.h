// Points the output channel's global outputHandle at a message-mode pipe for the lifetime of
// the capture, so that an in-process test sees every write as one unit, byte for byte.
#pragma once

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/win_handle.h"

class OutputCapture {
public:
    OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;
    ~OutputCapture();

    // False when the pipe could not be set up (outputHandle is then left as it was).
    bool ok() const { return m_write.valid(); }

    // Restores outputHandle, closes the pipe and returns every write made since construction,
    // one element per write. Later calls return nothing.
    std::vector<std::string> Finish();
    // The same, joined: the bytes as a host reading the pipe would see them.
    std::string FinishBytes();

private:
    void ReadUnits();

    HANDLE m_previous = nullptr;
    WinHandle m_read;
    WinHandle m_write;
    std::thread m_reader;
    std::vector<std::string> m_units;
};
