// Which scan server a plug-in module needs, from the machine type in its PE header.
#pragma once

#include <cstdint>
#include <string>

namespace ScanHost {

enum class EArch { None, X86, X64 };

struct PeMachine {
    EArch arch = EArch::None;  // None: no server can load it
    uint16_t machine = 0;      // the header's value, 0 when there is no PE header
    std::string reason;        // why arch is None ("not a PE file", "unsupported machine type ...")
};

PeMachine ReadPeMachine(const std::wstring& path);

// "x86" / "x64", as the servers name their platform.
const char* ArchName(EArch arch);

}  // namespace ScanHost
