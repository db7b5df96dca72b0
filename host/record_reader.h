// The scan server's result record as the host reads it. The server writes one JSON object
// per request, every member line ending in a comma (the last one too), so a strict JSON
// parser cannot read it; this reader accepts exactly that form and checks every member.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ScanHost {

// The server broke the pipe protocol: a malformed record, a missing prompt, and the like.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One sub-plug-in of a shell plug-in.
struct ShellEntry {
    uint32_t id = 0;
    std::string name;  // UTF-8

    bool operator==(const ShellEntry& other) const { return id == other.id && name == other.name; }
};

// Category value of a shell plug-in: its record lists sub-plug-ins.
constexpr int32_t kCategoryShell = 10;

// Every member of the result record; texts in UTF-8. The initial values are those of a
// record that the server never filled.
struct ScanRecord {
    uint32_t id = 0;
    std::string name;
    std::string vendor;
    std::string product;
    std::string version;
    std::string error;
    int32_t numInputs = 0;
    int32_t numOutputs = 0;
    bool wantsMidi = false;
    bool sendsMidi = false;
    std::string platform;  // "x86" or "x64"
    bool audio64 = false;
    int32_t category = -1;
    bool synthEdit = false;
    std::vector<ShellEntry> shells;  // in the order the server listed them
};

// Reads the record's JSON text (the lines after their ">:" level prefix, joined by line
// feeds). Throws ProtocolError naming the fault and its line and column. \uXXXX escapes
// become UTF-8; a surrogate pair becomes one code point, an unpaired surrogate U+FFFD
// (the server passes plug-in texts through unchecked, and UTF-8 cannot hold one).
ScanRecord ReadRecord(std::string_view text);

// Eight hexadecimal digits as the server writes ids; nullopt-like false when malformed.
bool ParseId(std::string_view text, uint32_t& id);
std::string FormatId(uint32_t id);

}  // namespace ScanHost
