#include "host/record_reader.h"

#include <cstdio>
#include <unordered_set>
#include <utility>

#include "host/utf.h"

namespace ScanHost {

namespace {

// The small JSON subset the record uses: objects (with trailing commas), strings,
// integers and booleans.
struct Value {
    enum class EKind { String, Integer, Boolean, Object };
    EKind kind = EKind::String;
    std::string text;
    int64_t integer = 0;
    bool boolean = false;
    std::vector<std::pair<std::string, Value>> members;
    size_t line = 0, column = 0;
};

class Parser {
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    Value ParseDocument() {
        SkipBlanks();
        if (AtEnd()) Fail("the record is empty");
        if (Peek() != '{') Fail(std::string("expected '{' to open the record, found ") + Describe(Peek()));
        Value record = ParseValue();
        SkipBlanks();
        if (!AtEnd()) Fail(std::string("unexpected ") + Describe(Peek()) + " after the end of the record");
        return record;
    }

private:
    [[noreturn]] void Fail(const std::string& what) const { FailAt(m_pos, what); }

    [[noreturn]] void FailAt(size_t pos, const std::string& what) const {
        size_t line = 1, column = 1;
        for (size_t i = 0; i < pos && i < m_text.size(); ++i) {
            if (m_text[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        throw ProtocolError("result record, line " + std::to_string(line) + " column " + std::to_string(column) +
                            ": " + what);
    }

    [[noreturn]] void FailTruncated(const char* inside) const {
        throw ProtocolError(std::string("result record is truncated: it ends inside ") + inside);
    }

    static std::string Describe(char c) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) return std::string("'") + c + "'";
        char text[16];
        snprintf(text, sizeof text, "byte 0x%02X", u);
        return text;
    }

    bool AtEnd() const { return m_pos >= m_text.size(); }
    char Peek() const { return m_text[m_pos]; }

    // Line feeds occur only here (a string may not hold one), so the position is tracked here.
    void SkipBlanks() {
        while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) {
            if (Peek() == '\n') {
                ++m_line;
                m_lineStart = m_pos + 1;
            }
            ++m_pos;
        }
    }

    Value ParseValue() {
        SkipBlanks();
        if (AtEnd()) FailTruncated("the record (a value is missing)");
        Value value;
        Locate(value);
        char c = Peek();
        if (c == '{') {
            value.kind = Value::EKind::Object;
            ParseObject(value);
        } else if (c == '"') {
            value.kind = Value::EKind::String;
            value.text = ParseString();
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            value.kind = Value::EKind::Integer;
            value.integer = ParseInteger();
        } else if (m_text.substr(m_pos, 4) == "true") {
            value.kind = Value::EKind::Boolean;
            value.boolean = true;
            m_pos += 4;
        } else if (m_text.substr(m_pos, 5) == "false") {
            value.kind = Value::EKind::Boolean;
            m_pos += 5;
        } else {
            Fail("unexpected " + Describe(c) + " where a value should start");
        }
        return value;
    }

    void Locate(Value& value) const {
        value.line = m_line;
        value.column = m_pos - m_lineStart + 1;
    }

    // '{' then members separated by commas; a comma after the last member is allowed.
    void ParseObject(Value& object) {
        ++m_pos;
        std::unordered_set<std::string> names;
        for (;;) {
            SkipBlanks();
            if (AtEnd()) FailTruncated("an object (no closing '}')");
            if (Peek() == '}') {
                ++m_pos;
                return;
            }
            if (Peek() != '"') Fail("expected a member name in quotes, found " + Describe(Peek()));
            size_t namePos = m_pos;
            std::string name = ParseString();
            if (!names.insert(name).second) FailAt(namePos, "member \"" + name + "\" appears twice");
            SkipBlanks();
            if (AtEnd()) FailTruncated("an object (no ':' after a member name)");
            if (Peek() != ':') Fail("expected ':' after \"" + name + "\", found " + Describe(Peek()));
            ++m_pos;
            Value value = ParseValue();
            object.members.emplace_back(std::move(name), std::move(value));
            SkipBlanks();
            if (AtEnd()) FailTruncated("an object (no closing '}')");
            if (Peek() == ',') {
                ++m_pos;
            } else if (Peek() != '}') {
                Fail("expected ',' or '}' after a member, found " + Describe(Peek()));
            }
        }
    }

    std::string ParseString() {
        ++m_pos;  // the opening quote
        std::string out;
        for (;;) {
            if (AtEnd()) FailTruncated("a string");
            unsigned char c = static_cast<unsigned char>(m_text[m_pos]);
            if (c == '"') {
                ++m_pos;
                return out;
            }
            if (c < 0x20) Fail("control character " + Describe(static_cast<char>(c)) + " inside a string");
            // The server escapes everything outside 7-bit ASCII.
            if (c >= 0x80) Fail(Describe(static_cast<char>(c)) + " inside a string (the record is 7-bit ASCII)");
            if (c != '\\') {
                out += static_cast<char>(c);
                ++m_pos;
                continue;
            }
            size_t escapePos = m_pos;
            ++m_pos;
            if (AtEnd()) FailTruncated("a string");
            char e = m_text[m_pos++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': AppendUtf8(out, ParseUnicodeEscape(escapePos)); break;
                default: FailAt(escapePos, "bad escape \\" + std::string(1, e) + " inside a string");
            }
        }
    }

    // After "\u": four hexadecimal digits; a high surrogate followed by "\u" and a low
    // surrogate makes one code point.
    char32_t ParseUnicodeEscape(size_t escapePos) {
        char32_t unit = ReadHex4(escapePos);
        if (unit >= 0xD800 && unit <= 0xDBFF && m_text.substr(m_pos, 2) == "\\u") {
            size_t save = m_pos;
            m_pos += 2;
            char32_t low = ReadHex4(save);
            if (low >= 0xDC00 && low <= 0xDFFF) return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            m_pos = save;  // not a pair: the next escape stands alone
        }
        return unit;  // a lone surrogate becomes U+FFFD in AppendUtf8
    }

    char32_t ReadHex4(size_t escapePos) {
        char32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            if (AtEnd()) FailTruncated("a string");
            char c = m_text[m_pos];
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0) FailAt(escapePos, "bad escape: \\u needs four hexadecimal digits");
            value = value * 16 + static_cast<char32_t>(digit);
            ++m_pos;
        }
        return value;
    }

    int64_t ParseInteger() {
        size_t start = m_pos;
        bool negative = Peek() == '-';
        if (negative) ++m_pos;
        if (AtEnd()) FailTruncated("a number");
        if (Peek() < '0' || Peek() > '9') Fail("expected a digit after '-', found " + Describe(Peek()));
        if (Peek() == '0' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] >= '0' && m_text[m_pos + 1] <= '9')
            Fail("a number with a leading zero");
        int64_t value = 0;
        while (!AtEnd() && Peek() >= '0' && Peek() <= '9') {
            value = value * 10 + (Peek() - '0');
            if (value > (int64_t{1} << 32)) FailAt(start, "a number out of the 32-bit range");
            ++m_pos;
        }
        if (!AtEnd() && (Peek() == '.' || Peek() == 'e' || Peek() == 'E')) FailAt(start, "a number that is not an integer");
        return negative ? -value : value;
    }

    std::string_view m_text;
    size_t m_pos = 0;
    size_t m_line = 1;
    size_t m_lineStart = 0;
};

const char* KindName(Value::EKind kind) {
    switch (kind) {
        case Value::EKind::String: return "a string";
        case Value::EKind::Integer: return "an integer";
        case Value::EKind::Boolean: return "true or false";
        case Value::EKind::Object: return "an object";
    }
    return "";
}

[[noreturn]] void FailMember(const Value& value, const std::string& name, const std::string& what) {
    throw ProtocolError("result record, line " + std::to_string(value.line) + " column " +
                        std::to_string(value.column) + ": member \"" + name + "\" " + what);
}

const Value& Expect(const Value& value, const std::string& name, Value::EKind kind) {
    if (value.kind != kind) FailMember(value, name, std::string("must be ") + KindName(kind));
    return value;
}

int32_t ExpectInt32(const Value& value, const std::string& name) {
    Expect(value, name, Value::EKind::Integer);
    if (value.integer < INT32_MIN || value.integer > INT32_MAX) FailMember(value, name, "is out of the 32-bit range");
    return static_cast<int32_t>(value.integer);
}

uint32_t ExpectId(const Value& value, const std::string& name) {
    uint32_t id = 0;
    if (!ParseId(Expect(value, name, Value::EKind::String).text, id))
        FailMember(value, name, "must be eight hexadecimal digits");
    return id;
}

}  // namespace

bool ParseId(std::string_view text, uint32_t& id) {
    if (text.size() != 8) return false;
    uint32_t value = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    id = value;
    return true;
}

std::string FormatId(uint32_t id) {
    char text[16];
    snprintf(text, sizeof text, "%08X", static_cast<unsigned>(id));
    return text;
}

ScanRecord ReadRecord(std::string_view text) {
    Value document = Parser(text).ParseDocument();

    // The members the server always writes; "shells" is checked against "category" below.
    static const char* const kRequired[] = {"id",        "name",       "vendor",    "product",   "version",
                                            "error",     "numInputs",  "numOutputs", "wantsMidi", "sendsMidi",
                                            "platform",  "audio64",    "category",  "synthEdit"};
    ScanRecord record;
    const Value* shells = nullptr;
    for (const auto& [name, value] : document.members) {
        if (name == "id") record.id = ExpectId(value, name);
        else if (name == "name") record.name = Expect(value, name, Value::EKind::String).text;
        else if (name == "vendor") record.vendor = Expect(value, name, Value::EKind::String).text;
        else if (name == "product") record.product = Expect(value, name, Value::EKind::String).text;
        else if (name == "version") record.version = Expect(value, name, Value::EKind::String).text;
        else if (name == "error") record.error = Expect(value, name, Value::EKind::String).text;
        else if (name == "numInputs") record.numInputs = ExpectInt32(value, name);
        else if (name == "numOutputs") record.numOutputs = ExpectInt32(value, name);
        else if (name == "wantsMidi") record.wantsMidi = Expect(value, name, Value::EKind::Boolean).boolean;
        else if (name == "sendsMidi") record.sendsMidi = Expect(value, name, Value::EKind::Boolean).boolean;
        else if (name == "audio64") record.audio64 = Expect(value, name, Value::EKind::Boolean).boolean;
        else if (name == "synthEdit") record.synthEdit = Expect(value, name, Value::EKind::Boolean).boolean;
        else if (name == "category") record.category = ExpectInt32(value, name);
        else if (name == "platform") {
            record.platform = Expect(value, name, Value::EKind::String).text;
            if (record.platform != "x86" && record.platform != "x64") FailMember(value, name, "must be \"x86\" or \"x64\"");
        } else if (name == "shells") {
            shells = &Expect(value, name, Value::EKind::Object);
        } else {
            FailMember(value, name, "is unknown");
        }
    }
    for (const char* name : kRequired) {
        bool found = false;
        for (const auto& member : document.members) found = found || member.first == name;
        if (!found) throw ProtocolError(std::string("result record: member \"") + name + "\" is missing");
    }

    if (record.category == kCategoryShell && !shells)
        throw ProtocolError("result record: member \"shells\" is missing although the category is 10 (shell)");
    if (record.category != kCategoryShell && shells)
        FailMember(*shells, "shells", "is present although the category is not 10 (shell)");
    if (shells) {
        std::unordered_set<uint32_t> ids;
        for (const auto& [key, value] : shells->members) {
            ShellEntry entry;
            if (!ParseId(key, entry.id)) FailMember(value, key, "of \"shells\" is not eight hexadecimal digits");
            if (!ids.insert(entry.id).second) FailMember(value, key, "of \"shells\" repeats an id");
            entry.name = Expect(value, key, Value::EKind::String).text;
            record.shells.push_back(std::move(entry));
        }
    }
    return record;
}

}  // namespace ScanHost
