// The one compile-time setting behind every platform-dependent text: the x86 build loads
// 32-bit plug-ins, the x64 build 64-bit ones, and each names itself accordingly.
#pragma once

#if defined(_WIN64)
#define SCAN_PLATFORM_NARROW "x64"
#define SCAN_PLATFORM L"x64"
#else
#define SCAN_PLATFORM_NARROW "x86"
#define SCAN_PLATFORM L"x86"
#endif
