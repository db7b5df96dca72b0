// UTF-8 <-> UTF-16 for the host side: the pipe protocol and the database are UTF-8, Windows
// paths are UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace ScanHost {

// Invalid input (unpaired surrogates, bad UTF-8) becomes U+FFFD.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

// Appends the UTF-8 form of one code point.
void AppendUtf8(std::string& out, char32_t codePoint);

}  // namespace ScanHost
