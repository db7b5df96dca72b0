// What scanhost shows: the live progress line on a terminal and the summary at the end.
#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <mutex>
#include <string>

#include "host/database.h"
#include "host/scanner.h"

namespace ScanHost {

// Writes UTF-8 text to a standard handle: through the console's wide API on a terminal,
// as bytes to a pipe or file.
void WriteText(HANDLE handle, const std::string& text);
bool IsConsole(HANDLE handle);

// "done/total, elapsed, estimate, current plug-in" on one line of the terminal, redrawn in
// place; nothing at all when the handle is not a terminal.
class ProgressLine : public ScanObserver {
public:
    explicit ProgressLine(HANDLE console);
    void Planned(size_t moreRequests) override;
    void Started(const std::string& key) override;
    void Finished(const Entry& entry) override;
    // Erases the line before other output.
    void Clear();

private:
    void Draw(bool force);

    HANDLE m_console;
    bool m_enabled;
    std::mutex m_mutex;
    size_t m_total = 0, m_done = 0;
    std::string m_current;
    ULONGLONG m_started = 0, m_lastDrawn = 0;
    size_t m_drawnWidth = 0;
};

// Counts per status, in the order ok, failed, crashed, timeout, skipped.
using StatusCounts = std::array<size_t, 5>;
StatusCounts CountStatuses(const Database& database, const std::function<bool(const Entry&)>& inScope);

// The run's figures, a table of counts per status, then every plug-in that is not ok with
// its reason (and dump).
std::string FormatSummary(const Database& database, const std::function<bool(const Entry&)>& inScope,
                          const ScanStats& stats, size_t interrupted);

// "1:05" for 65 seconds.
std::string FormatDuration(double seconds);

}  // namespace ScanHost
