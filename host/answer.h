// The scan server's output as units: each line starts with a level ("info", "warn", "error",
// ">") and a colon; "ready:" alone on a line is the prompt. A line without a known level
// continues the previous unit (a message may hold line feeds; only its first line carries
// the level).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/record_reader.h"

namespace ScanHost {

struct Unit {
    std::string level;  // "info", "warn", "error" or ">"
    std::string text;   // without the level, the colon and the final line feed

    bool operator==(const Unit& other) const { return level == other.level && text == other.text; }
};

// Collects the bytes a server writes and cuts them at its prompts.
class TranscriptReader {
public:
    void Append(std::string_view bytes) { m_pending.append(bytes.data(), bytes.size()); }

    // Takes the units written before the next prompt, and the prompt itself. False while no
    // complete prompt line has arrived.
    bool TakeAnswer(std::vector<Unit>& units);

    // The units received so far without a prompt (an incomplete last line included): what a
    // server wrote before it crashed or hung.
    std::vector<Unit> Partial() const;

private:
    std::string m_pending;
    size_t m_scanned = 0;  // bytes of m_pending known to hold no prompt line
};

// Splits complete or partial output into units.
std::vector<Unit> SplitUnits(std::string_view text);

// One request's answer, read from the units before the prompt.
struct Answer {
    ScanRecord record;
    bool failed = false;     // the server reported a failed scan (an "error" unit or an error text)
    std::string errorText;   // the "error" units' texts, or the record's error
    std::vector<Unit> log;   // the "info" and "warn" units
};

// Throws ProtocolError when the units hold no record or a malformed one.
Answer ReadAnswer(const std::vector<Unit>& units);

// The last "info", "warn" or "error" text of the units, for reports on crashes and hangs.
std::string LastLogText(const std::vector<Unit>& units);

}  // namespace ScanHost
