// The result record of one scan request and its JSON form.
#pragma once

#include <cstdint>

#include "simple/text.h"

// Minimal record until the containers and the full record land: no shell list yet.
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
    int32_t category = -1;

    CPluginInfo() = default;
    CPluginInfo(const CPluginInfo&) = delete;
    CPluginInfo& operator=(const CPluginInfo&) = delete;

    void WriteJson() const;
};
