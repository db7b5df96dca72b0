#pragma once

#include <cstdint>

// Reads leading hexadecimal digits of text into value (0 without digits; of more than eight
// digits the last eight count). Returns the position after the last digit, or null when the
// text is null or does not start with a digit. A null text leaves value unchanged.
const wchar_t* ParseHex(const wchar_t* text, uint32_t& value);
