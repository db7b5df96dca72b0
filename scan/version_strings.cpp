#include "scan/version_strings.h"

namespace {

Simple::CUniString Dotted(int a, int b, int c, int d) { return Simple::CUniString::Format(L"%i.%i.%i.%i", a, b, c, d); }

}  // namespace

Simple::CUniString VendorVersionToText(int32_t v) {
    if (v == 0) return Simple::CUniString();
    // Plug-ins answer in several conventions; the value's magnitude is the only hint.
    if (v < 10) return Simple::CUniString::Format(L"%i.0.0.0", v);
    if (v < 10000) return Dotted((v / 1000) % 10, (v / 100) % 10, (v / 10) % 10, v % 10);
    if (v < 0x10000) return Dotted((v / 10000) % 10, (v / 1000) % 10, (v / 100) % 10, (v / 10) % 10);
    if (v < 0x650000) return Dotted((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF, 0);
    return Dotted(v / 10000000, (v / 100000) % 100, (v / 1000) % 100, v % 1000);
}

Simple::CUniString FileVersionToText(const VS_FIXEDFILEINFO& info) {
    DWORD ms = info.dwProductVersionMS;
    DWORD ls = info.dwProductVersionLS;
    if (ms == 0 && ls == 0) {
        ms = info.dwFileVersionMS;
        ls = info.dwFileVersionLS;
        if (ms == 0 && ls == 0) return Simple::CUniString();
    }
    return Dotted(HIWORD(ms), LOWORD(ms), HIWORD(ls), LOWORD(ls));
}
