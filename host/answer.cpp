#include "host/answer.h"

namespace ScanHost {

namespace {

constexpr std::string_view kPrompt = "ready:\n";
const char* const kLevels[] = {"info", "warn", "error", ">"};

// The level of a line that starts a unit, or nullptr for a continuation line.
const char* LevelOf(std::string_view line) {
    for (const char* level : kLevels) {
        std::string_view name(level);
        if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 && line[name.size()] == ':')
            return level;
    }
    return nullptr;
}

}  // namespace

std::vector<Unit> SplitUnits(std::string_view text) {
    std::vector<Unit> units;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        start = end == std::string_view::npos ? text.size() : end + 1;
        if (const char* level = LevelOf(line)) {
            units.push_back(Unit{level, std::string(line.substr(std::string_view(level).size() + 1))});
        } else if (!units.empty()) {
            units.back().text += '\n';
            units.back().text += line;
        } else {
            // Output before any level: kept as a unit of its own so that nothing is lost.
            units.push_back(Unit{"", std::string(line)});
        }
    }
    return units;
}

bool TranscriptReader::TakeAnswer(std::vector<Unit>& units) {
    // The prompt is a whole line: at the very start or right after a line feed.
    size_t at = std::string::npos;
    if (m_scanned == 0 && m_pending.compare(0, kPrompt.size(), kPrompt) == 0) {
        at = 0;
    } else {
        size_t from = m_scanned == 0 ? 0 : m_scanned - 1;
        size_t found = m_pending.find("\nready:\n", from);
        if (found != std::string::npos) at = found + 1;
    }
    if (at == std::string::npos) {
        // A prompt may still start in the last few bytes.
        m_scanned = m_pending.size() > kPrompt.size() ? m_pending.size() - kPrompt.size() : 0;
        return false;
    }
    units = SplitUnits(std::string_view(m_pending).substr(0, at));
    m_pending.erase(0, at + kPrompt.size());
    m_scanned = 0;
    return true;
}

std::vector<Unit> TranscriptReader::Partial() const { return SplitUnits(m_pending); }

Answer ReadAnswer(const std::vector<Unit>& units) {
    Answer answer;
    std::string recordText;
    bool seenRecord = false;
    for (const Unit& unit : units) {
        if (unit.level == ">") {
            if (seenRecord) recordText += '\n';
            recordText += unit.text;
            seenRecord = true;
        } else if (unit.level == "error") {
            answer.failed = true;
            if (!answer.errorText.empty()) answer.errorText += '\n';
            answer.errorText += unit.text;
        } else if (unit.level == "info" || unit.level == "warn") {
            answer.log.push_back(unit);
        } else {
            throw ProtocolError("output without a level before the prompt: \"" + unit.text + "\"");
        }
    }
    if (!seenRecord) throw ProtocolError("the server prompted again without writing a result record");
    answer.record = ReadRecord(recordText);
    if (!answer.record.error.empty()) {
        answer.failed = true;
        answer.errorText = answer.record.error;
    } else if (answer.failed && answer.errorText.empty()) {
        answer.errorText = "the scan failed without a reason";
    }
    return answer;
}

std::string LastLogText(const std::vector<Unit>& units) {
    for (auto it = units.rbegin(); it != units.rend(); ++it)
        if (it->level != ">" && !it->text.empty()) return it->text;
    return {};
}

}  // namespace ScanHost
