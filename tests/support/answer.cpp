#include "tests/support/answer.h"

#include <cstdlib>

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> LinesAt(const std::string& text, const std::string& level) {
    std::vector<std::string> found;
    std::string prefix = level + ":";
    for (const std::string& line : SplitLines(text))
        if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line.substr(prefix.size()));
    return found;
}

namespace {

void AppendUtf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// A quoted JSON string at text[at]; its raw content goes to value and at moves past it.
bool ReadQuoted(const std::string& text, size_t& at, std::string& value) {
    if (at >= text.size() || text[at] != '"') return false;
    size_t end = at + 1;
    while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
    if (end >= text.size()) return false;
    value = text.substr(at + 1, end - at - 1);
    at = end + 1;
    return true;
}

// `  "name":<blanks>value,` with a quoted or bare value.
bool ParseMember(const std::string& line, std::string& name, std::string& value) {
    size_t at = 2;
    if (line.compare(0, 2, "  ") != 0 || !ReadQuoted(line, at, name)) return false;
    if (at >= line.size() || line[at] != ':') return false;
    ++at;
    while (at < line.size() && line[at] == ' ') ++at;
    if (line.empty() || line.back() != ',') return false;
    std::string raw = line.substr(at, line.size() - 1 - at);
    if (!raw.empty() && raw[0] == '"') {
        size_t quoted = 0;
        std::string inner;
        if (!ReadQuoted(raw, quoted, inner) || quoted != raw.size()) return false;
        value = JsonUnescape(inner);
    } else {
        if (raw.empty() || raw.find(' ') != std::string::npos) return false;
        value = raw;
    }
    return true;
}

}  // namespace

std::string JsonUnescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        switch (c) {
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned long code = std::strtoul(text.substr(i + 1, 4).c_str(), nullptr, 16);
                i += 4;
                if (code >= 0xD800 && code < 0xDC00 && i + 7 <= text.size() && text.compare(i + 1, 2, "\\u") == 0) {
                    unsigned long low = std::strtoul(text.substr(i + 3, 4).c_str(), nullptr, 16);
                    if (low >= 0xDC00 && low < 0xE000) {
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                        i += 6;
                    }
                }
                AppendUtf8(out, code);
                break;
            }
            default: out += c; break;  // \" \\ \/
        }
    }
    return out;
}

std::string SRecord::Member(const std::string& name) const {
    for (const auto& member : members)
        if (member.first == name) return member.second;
    return "<absent>";
}

SRecord ParseRecord(const std::string& text) {
    SRecord record;
    std::vector<std::string> lines = LinesAt(text, ">");
    size_t i = 0;
    for (const std::string& line : lines) record.records += line == "{";
    while (i < lines.size() && lines[i] != "{") ++i;
    if (i == lines.size()) return record;
    record.found = true;
    bool inShells = false;
    for (++i; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line == "}") {
            record.wellFormed = !inShells;
            return record;
        }
        std::string name, value;
        if (inShells) {
            if (line == "  },") {
                inShells = false;
                continue;
            }
            size_t at = 8;
            if (line.compare(0, 8, "        ") != 0 || !ReadQuoted(line, at, name) || line.compare(at, 2, ": ") != 0)
                return record;
            at += 2;
            if (!ReadQuoted(line, at, value) || line.substr(at) != ",") return record;
            record.shells.emplace_back(name, JsonUnescape(value));
        } else if (line == "  \"shells\": {") {
            record.hasShells = true;
            inShells = true;
        } else if (ParseMember(line, name, value)) {
            record.members.emplace_back(name, value);
        } else {
            return record;
        }
    }
    return record;
}
