#include "server/parse_hex.h"

static int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

const wchar_t* ParseHex(const wchar_t* text, uint32_t& value) {
    if (!text) return nullptr;
    uint32_t result = 0;
    const wchar_t* p = text;
    for (int digit; (digit = HexDigit(*p)) >= 0; ++p) result = (result << 4) | static_cast<uint32_t>(digit);
    value = result;
    return p == text ? nullptr : p;
}
