// The result record of one scan request and its JSON form.
#pragma once

#include <cstdint>

#include "simple/containers.h"
#include "simple/text.h"

// One sub-plug-in of a shell plug-in, created with new and owned by CPluginInfo::shells.
class CShellInfo {
public:
    int32_t id = 0;
    Simple::CUniString name;
};

// What one scan request found; every request is answered with exactly one, also when the scan
// failed (then error says why and the fields it did not reach keep their initial values).
class CPluginInfo {
public:
    int32_t id = 0;
    Simple::CUniString name;
    Simple::CUniString vendor;
    Simple::CUniString product;
    Simple::CUniString version;
    Simple::CUniString error;
    int32_t numInputs = 0;
    int32_t numOutputs = 0;
    bool wantsMidi = false;
    bool sendsMidi = false;
    bool audio64 = false;
    bool synthEdit = false;
    int32_t category = -1;  // -1: none determined; 10: shell
    // Declared last, so it is destroyed first: every entry deleted, then the list's array.
    Simple::CVector<CShellInfo*, Simple::SOwnedPtr, CShellInfo*> shells;

    CPluginInfo() = default;
    CPluginInfo(const CPluginInfo&) = delete;
    CPluginInfo& operator=(const CPluginInfo&) = delete;

    // Sends the record as a JSON object, one unit at level ">" per line. The members end with
    // commas (the last one too) and the value column is uneven: hosts parse these exact lines.
    void WriteJson() const;
};

// Text that can stand between the double quotes of a JSON string, in 7-bit ASCII. Absent and
// empty text both give empty text (with a block, so it never prints as "(null)").
Simple::CUniString JsonEscape(const wchar_t* text);
