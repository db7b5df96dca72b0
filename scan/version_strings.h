// Dotted version text from the numbers plug-ins and module files carry.
#pragma once

#include <windows.h>

#include <cstdint>

#include "simple/text.h"

// The answer to effGetVendorVersion as four numbers; the size of the value alone picks how it
// is read (digits, hexadecimal bytes or decimal groups). Empty for 0.
Simple::CUniString VendorVersionToText(int32_t version);

// The product version of a fixed version resource, or the file version when the product
// version is all zero; empty when both are.
Simple::CUniString FileVersionToText(const VS_FIXEDFILEINFO& info);
