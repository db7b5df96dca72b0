#include "host/pe_machine.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "tests/support/win_handle.h"

namespace ScanHost {

namespace {

bool ReadAt(HANDLE file, uint32_t offset, void* buffer, DWORD size) {
    LARGE_INTEGER position;
    position.QuadPart = offset;
    DWORD read = 0;
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && ReadFile(file, buffer, size, &read, nullptr) &&
           read == size;
}

const char* MachineName(uint16_t machine) {
    switch (machine) {
        case 0x01C0: return "ARM";
        case 0x01C4: return "ARMv7 Thumb-2";
        case 0x0200: return "Itanium";
        case 0xAA64: return "ARM64";
        case 0xA641: return "ARM64EC";
        default: return nullptr;
    }
}

}  // namespace

const char* ArchName(EArch arch) {
    switch (arch) {
        case EArch::X86: return "x86";
        case EArch::X64: return "x64";
        case EArch::None: break;
    }
    return "";
}

PeMachine ReadPeMachine(const std::wstring& path) {
    PeMachine result;
    WinHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        result.reason = "cannot open the file (error " + std::to_string(GetLastError()) + ")";
        return result;
    }
    // The DOS header starts with "MZ" and holds the PE header's offset at 0x3C; the PE header
    // is "PE\0\0" followed by the 16-bit machine type.
    unsigned char dos[64];
    uint32_t peOffset = 0;
    unsigned char pe[6];
    if (!ReadAt(file.get(), 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') {
        result.reason = "not a PE file (no MZ header)";
        return result;
    }
    memcpy(&peOffset, dos + 0x3C, sizeof peOffset);
    if (!ReadAt(file.get(), peOffset, pe, sizeof pe) || memcmp(pe, "PE\0\0", 4) != 0) {
        result.reason = "not a PE file (no PE header)";
        return result;
    }
    result.machine = static_cast<uint16_t>(pe[4] | pe[5] << 8);
    if (result.machine == 0x014C) {
        result.arch = EArch::X86;
    } else if (result.machine == 0x8664) {
        result.arch = EArch::X64;
    } else {
        char text[96];
        const char* name = MachineName(result.machine);
        if (name)
            snprintf(text, sizeof text, "unsupported machine type %s (0x%04X)", name, result.machine);
        else
            snprintf(text, sizeof text, "unsupported machine type 0x%04X", result.machine);
        result.reason = text;
    }
    return result;
}

}  // namespace ScanHost
