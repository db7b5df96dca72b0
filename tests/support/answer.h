// Reading the server's answer to one request as a host does: its lines, and the result record
// written at level ">" (with its trailing commas, which a strict JSON parser refuses).
#pragma once

#include <string>
#include <utility>
#include <vector>

// The lines of text, each without its line feed; a last piece without one is kept as a line.
std::vector<std::string> SplitLines(const std::string& text);

// The lines of the given level ("info", "error", ">", ...), without the level and the colon.
std::vector<std::string> LinesAt(const std::string& text, const std::string& level);

struct SRecord {
    bool found = false;      // a ">:{" line was seen
    bool wellFormed = false;  // closed by ">:}", and every line between is a member or a shell line
    int records = 0;          // how many ">:{" lines the text holds
    std::vector<std::pair<std::string, std::string>> members;  // in order; quoted values unescaped
    bool hasShells = false;
    std::vector<std::pair<std::string, std::string>> shells;  // id, name

    // The value of a member, or "<absent>".
    std::string Member(const std::string& name) const;
};

// The first result record in text.
SRecord ParseRecord(const std::string& text);

// The value of a JSON string without its quotes: escapes undone, \uXXXX written as UTF-8
// (a surrogate pair as one character).
std::string JsonUnescape(const std::string& text);
