// Building blocks for the complete answers the scan server gives to scan requests of the
// fixture plug-ins (tests/plugins), to be compared byte for byte with what it wrote.
//
// The only part of an answer that differs from run to run, the module handle of "Looking for
// entry point in module %p", is replaced by "{module}" in both the expected and the actual text
// once it has been checked to be one pointer in upper-case hexadecimal.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_host.h"

namespace transcript {

// ---- Paths ---------------------------------------------------------------------------------

inline std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// The fixture DLL of that name (ASCII paths only, as the build tree has).
inline std::string Plugin(const std::string& name) {
    return Narrow(TestHost::BinaryFolder()) + "\\plugins\\" + name + ".dll";
}

// ---- Lines ---------------------------------------------------------------------------------

inline std::string Info(const std::string& message) { return "info:" + message + "\n"; }
inline std::string Warn(const std::string& message) { return "warn:" + message + "\n"; }
inline std::string Error(const std::string& message) { return "error:" + message + "\n"; }

// What a fixture reports about a call it received (it asks the host a capability question).
inline std::string Trace(const std::string& what) { return Info("Query host can do: 'trace: " + what + "'"); }
// One request the probe sent, as the fixture reports it.
inline std::string Sent(int opcode, const std::string& detail = "") {
    return Trace("opcode " + std::to_string(opcode) + detail);
}

inline std::string Hex8(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "%.8X", value);
    return text;
}

// ---- Pieces of a scan ----------------------------------------------------------------------

// The request as logged, then the load of a module that is not cached.
inline std::string ScanAndLoad(const std::string& request) {
    return Info("Scanning plugin: '" + request + "'") + Info("Loading library...");
}
inline std::string ScanAndReuse(const std::string& request) {
    return Info("Scanning plugin: '" + request + "'") + Info("Re-using previous library instance...");
}

inline std::string LookForEntry() { return Info("Looking for entry point in module {module}"); }

// Finding the entry point and calling it; the fixture's entry point reports through which export
// it was entered and asks for the host's version.
inline std::string Enter(const std::string& exportName = "VSTPluginMain") {
    return LookForEntry() + Info("Found " + exportName + "()") + Info("Calling entry point...") + Trace(exportName) +
           Info("Audio master callback: 1 - audioMasterVersion");
}
inline std::string AskCurrentId() { return Info("Audio master callback: 2 - audioMasterCurrentId"); }
inline std::string AskWantMidi() { return Info("Audio master callback: 6 - audioMasterWantMidi"); }

// The queries of a probe, in their order, as the fixture reports them. The second question of
// each MIDI direction is asked only when the first was answered with -1.
inline std::string Queries(bool secondReceiveQuestion = true, bool secondSendQuestion = true) {
    return Sent(45) + Sent(47) + Sent(48) + Sent(35) + Sent(51, " receiveVstMidiEvent") +
           (secondReceiveQuestion ? Sent(51, " receiveVstEvents") : "") + Sent(51, " sendVstMidiEvent") +
           (secondSendQuestion ? Sent(51, " sendVstEvents") : "") + Sent(49);
}

inline std::string Close() { return Info("Dispatching effClose...") + Sent(1); }
inline std::string FreeAndFinish() { return Info("Freeing library...") + Info("Finished"); }
inline std::string KeepAndFinish() { return Info("Keeping shell library loaded for now...") + Info("Finished"); }
inline std::string FreeCached() { return Info("Freeing cached library...") + Info("Freed"); }

// One sub-plug-in as the shell enumeration logs it.
inline std::string FoundShell(uint32_t id, const std::string& name) {
    return Sent(70) + Info("Found shell: " + Hex8(id) + " - " + name);
}
inline std::string Duplicate() { return Info("   - duplicate, ignoring"); }
inline std::string ShellEnd() { return Sent(70); }

// ---- The result record ---------------------------------------------------------------------

// The members of a result record, texts as they appear in the JSON (escaped). The defaults
// are those of the plain fixture effect.
struct SRecord {
    uint32_t id = 0x46784566;
    std::string name = "Fixture Effect";
    std::string vendor = "Fixture Works";
    std::string product = "Fixture Suite";
    std::string version;
    std::string error;
    int numInputs = 2;
    int numOutputs = 2;
    bool wantsMidi = false;
    bool sendsMidi = false;
    bool audio64 = false;
    bool synthEdit = false;
    int category = 1;
    std::vector<std::pair<uint32_t, std::string>> shells;

    SRecord& Id(uint32_t value) { id = value; return *this; }
    SRecord& Texts(std::string n, std::string v, std::string p) {
        name = std::move(n);
        vendor = std::move(v);
        product = std::move(p);
        return *this;
    }
    SRecord& Name(std::string value) { name = std::move(value); return *this; }
    SRecord& Version(std::string value) { version = std::move(value); return *this; }
    SRecord& Io(int inputs, int outputs) { numInputs = inputs; numOutputs = outputs; return *this; }
    SRecord& Midi(bool wants, bool sends) { wantsMidi = wants; sendsMidi = sends; return *this; }
    SRecord& Audio64() { audio64 = true; return *this; }
    SRecord& SynthEdit() { synthEdit = true; return *this; }
    SRecord& Category(int value) { category = value; return *this; }
    SRecord& Shell(uint32_t shellId, std::string shellName) {
        shells.emplace_back(shellId, std::move(shellName));
        return *this;
    }
};

// The record of a scan that failed before the probe filled anything.
inline SRecord Failed(std::string error) {
    SRecord record;
    record.id = 0;
    record.name = record.vendor = record.product = "";
    record.numInputs = record.numOutputs = 0;
    record.category = -1;
    record.error = std::move(error);
    return record;
}

inline const char* Bool(bool value) { return value ? "true" : "false"; }

// The record as the server writes it, one unit at level ">" per line.
inline std::string Record(const SRecord& r) {
    std::string json = ">:{\n";
    json += ">:  \"id\":        \"" + Hex8(r.id) + "\",\n";
    json += ">:  \"name\":      \"" + r.name + "\",\n";
    json += ">:  \"vendor\":    \"" + r.vendor + "\",\n";
    json += ">:  \"product\":   \"" + r.product + "\",\n";
    json += ">:  \"version\":   \"" + r.version + "\",\n";
    json += ">:  \"error\":     \"" + r.error + "\",\n";
    json += ">:  \"numInputs\": " + std::to_string(r.numInputs) + ",\n";
    json += ">:  \"numOutputs\":" + std::to_string(r.numOutputs) + ",\n";
    json += std::string(">:  \"wantsMidi\":  ") + Bool(r.wantsMidi) + ",\n";
    json += std::string(">:  \"sendsMidi\": ") + Bool(r.sendsMidi) + ",\n";
#if defined(_WIN64)
    json += ">:  \"platform\":  \"x64\",\n";
#else
    json += ">:  \"platform\":  \"x86\",\n";
#endif
    json += std::string(">:  \"audio64\":   ") + Bool(r.audio64) + ",\n";
    json += ">:  \"category\":  " + std::to_string(r.category) + ",\n";
    json += std::string(">:  \"synthEdit\": ") + Bool(r.synthEdit) + ",\n";
    if (r.category == 10) {
        json += ">:  \"shells\": {\n";
        for (const auto& shell : r.shells) json += ">:        \"" + Hex8(shell.first) + "\": \"" + shell.second + "\",\n";
        json += ">:  },\n";
    }
    json += ">:}\n";
    return json;
}

// GoogleTest names from fixture names: "texts-511-bytes" gives "Texts511Bytes".
inline std::string CaseName(const char* fixture) {
    std::string name;
    bool upper = true;
    for (const char* c = fixture; *c; ++c) {
        if (*c == '-') {
            upper = true;
            continue;
        }
        name += upper && *c >= 'a' && *c <= 'z' ? static_cast<char>(*c - 'a' + 'A') : *c;
        upper = false;
    }
    return name;
}

// ---- Comparing -----------------------------------------------------------------------------

// Replaces the module handle of every "Looking for entry point in module" line by "{module}"
// when it has the form of a pointer: 16 upper-case hexadecimal digits in the x64 build, 8 in
// the x86 build. A handle of another form stays, so the comparison shows it.
inline std::string MaskModuleHandles(std::string text) {
    static const std::string kPrefix = "info:Looking for entry point in module ";
    const size_t digits = sizeof(void*) * 2;
    for (size_t at = text.find(kPrefix); at != std::string::npos; at = text.find(kPrefix, at + 1)) {
        size_t begin = at + kPrefix.size();
        size_t end = text.find('\n', begin);
        if (end == std::string::npos || end - begin != digits) continue;
        bool hex = true;
        for (size_t i = begin; i < end; ++i) hex = hex && ((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'A' && text[i] <= 'F'));
        if (hex) text.replace(begin, digits, "{module}");
    }
    return text;
}

}  // namespace transcript
