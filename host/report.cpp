#include "host/report.h"

#include <cstdio>

#include "host/utf.h"

namespace ScanHost {

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

void WriteText(HANDLE handle, const std::string& text) {
    DWORD written = 0;
    if (IsConsole(handle)) {
        std::wstring wide = FromUtf8(text);
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

std::string FormatDuration(double seconds) {
    long total = static_cast<long>(seconds + 0.5);
    char text[32];
    if (total >= 3600)
        snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

ProgressLine::ProgressLine(HANDLE console)
    : m_console(console), m_enabled(IsConsole(console)), m_started(GetTickCount64()) {}

void ProgressLine::Planned(size_t moreRequests) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_total += moreRequests;
    Draw(false);
}

void ProgressLine::Started(const std::string& key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t slash = key.find_last_of("\\/");
    m_current = slash == std::string::npos ? key : key.substr(slash + 1);
    Draw(false);
}

void ProgressLine::Finished(const Entry&) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_done;
    Draw(m_done == m_total);
}

void ProgressLine::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_enabled || m_drawnWidth == 0) return;
    WriteText(m_console, "\r" + std::string(m_drawnWidth, ' ') + "\r");
    m_drawnWidth = 0;
}

void ProgressLine::Draw(bool force) {
    if (!m_enabled) return;
    ULONGLONG now = GetTickCount64();
    if (!force && now - m_lastDrawn < 100) return;  // a redraw per finished plug-in would flicker
    m_lastDrawn = now;
    double elapsed = (now - m_started) / 1000.0;
    std::string estimate = "?";
    if (m_done > 0 && m_total >= m_done) estimate = FormatDuration(elapsed / m_done * (m_total - m_done));
    char head[128];
    snprintf(head, sizeof head, "[%zu/%zu] %s elapsed, %s left  ", m_done, m_total, FormatDuration(elapsed).c_str(),
             estimate.c_str());
    std::wstring line = FromUtf8(std::string(head) + m_current);
    CONSOLE_SCREEN_BUFFER_INFO info;
    size_t width = GetConsoleScreenBufferInfo(m_console, &info) ? static_cast<size_t>(info.dwSize.X) : 80;
    if (width > 1 && line.size() > width - 1) line.resize(width - 1);
    size_t drawn = line.size();
    if (drawn < m_drawnWidth) line.append(m_drawnWidth - drawn, L' ');
    line = L"\r" + line;
    DWORD written = 0;
    WriteConsoleW(m_console, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    m_drawnWidth = drawn;
}

StatusCounts CountStatuses(const Database& database, const std::function<bool(const Entry&)>& inScope) {
    StatusCounts counts = {};
    database.ForEach([&](const Entry& entry) {
        if (inScope(entry)) ++counts[static_cast<size_t>(entry.status)];
    });
    return counts;
}

std::string FormatSummary(const Database& database, const std::function<bool(const Entry&)>& inScope,
                          const ScanStats& stats, size_t interrupted) {
    char line[256];
    std::string text;
    snprintf(line, sizeof line, "%zu modules: %zu unchanged, %zu scan requests on %zu scan server%s in %.1f s\n",
             stats.modules, stats.unchanged, stats.requests, stats.serversStarted,
             stats.serversStarted == 1 ? "" : "s", stats.seconds);
    text += line;
    if (interrupted)
        text += std::to_string(interrupted) +
                " plug-in(s) were being scanned when scanhost was last ended: marked crashed\n";
    if (stats.removed) text += std::to_string(stats.removed) + " entries of removed files left the database\n";
    if (stats.cancelled) text += "stopped before the end: the rest is scanned next time\n";

    StatusCounts counts = CountStatuses(database, inScope);
    text += "\nstatus     plug-ins\n";
    for (size_t i = 0; i < counts.size(); ++i) {
        snprintf(line, sizeof line, "%-10s %8zu\n", StatusName(static_cast<EStatus>(i)), counts[i]);
        text += line;
    }

    bool first = true;
    database.ForEach([&](const Entry& entry) {
        if (!inScope(entry) || entry.status == EStatus::Ok) return;
        if (first) text += "\n";
        first = false;
        snprintf(line, sizeof line, "%-9s ", StatusName(entry.status));
        text += line + entry.Key() + "\n          " + entry.error + "\n";
        if (!entry.dump.empty()) text += "          dump: " + entry.dump + "\n";
    });
    return text;
}

}  // namespace ScanHost
