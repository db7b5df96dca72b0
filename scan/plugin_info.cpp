#include "scan/plugin_info.h"

#include "server/output_channel.h"
#include "simple/platform.h"

namespace {

constexpr int kCategoryShell = 10;

// The short escapes; every other unit outside U+0020..U+007E becomes \u and four hex digits.
wchar_t ShortEscape(wchar_t unit) {
    switch (unit) {
        case L'"': return L'"';
        case L'\\': return L'\\';
        case L'/': return L'/';
        case L'\b': return L'b';
        case L'\f': return L'f';
        case L'\n': return L'n';
        case L'\r': return L'r';
        case L'\t': return L't';
        default: return 0;
    }
}

int EscapedLength(wchar_t unit) {
    if (ShortEscape(unit)) return 2;
    if (unit >= 0x20 && unit <= 0x7E) return 1;
    return 6;
}

const wchar_t* TextOrEmpty(const Simple::CUniString& text) { return text.GetData() ? text.GetData() : L""; }

const wchar_t* Bool(bool value) { return value ? L"true" : L"false"; }

}  // namespace

Simple::CUniString JsonEscape(const wchar_t* text) {
    Simple::CUniString escaped;
    int length = 0;
    if (text)
        for (const wchar_t* unit = text; *unit; ++unit) length += EscapedLength(*unit);
    wchar_t* out = escaped.GetBuffer(length);
    if (!out) return escaped;

    static const wchar_t kHex[] = L"0123456789abcdef";
    if (text) {
        for (const wchar_t* unit = text; *unit; ++unit) {
            wchar_t c = *unit;
            if (wchar_t letter = ShortEscape(c)) {
                *out++ = L'\\';
                *out++ = letter;
            } else if (c >= 0x20 && c <= 0x7E) {
                *out++ = c;
            } else {
                // Surrogates too, one escape per unit: the JSON form of a pair, and unpaired
                // ones pass as they are.
                unsigned value = static_cast<uint16_t>(c);
                *out++ = L'\\';
                *out++ = L'u';
                *out++ = kHex[(value >> 12) & 0xF];
                *out++ = kHex[(value >> 8) & 0xF];
                *out++ = kHex[(value >> 4) & 0xF];
                *out++ = kHex[value & 0xF];
            }
        }
    }
    *out = 0;
    return escaped;
}

void CPluginInfo::WriteJson() const {
    LogResult(L"{\n");
    LogResult(L"  \"id\":        \"%.8X\",\n", static_cast<uint32_t>(id));
    LogResult(L"  \"name\":      \"%s\",\n", TextOrEmpty(JsonEscape(name.GetData())));
    LogResult(L"  \"vendor\":    \"%s\",\n", TextOrEmpty(JsonEscape(vendor.GetData())));
    LogResult(L"  \"product\":   \"%s\",\n", TextOrEmpty(JsonEscape(product.GetData())));
    LogResult(L"  \"version\":   \"%s\",\n", TextOrEmpty(JsonEscape(version.GetData())));
    LogResult(L"  \"error\":     \"%s\",\n", TextOrEmpty(JsonEscape(error.GetData())));
    LogResult(L"  \"numInputs\": %i,\n", numInputs);
    LogResult(L"  \"numOutputs\":%i,\n", numOutputs);
    LogResult(L"  \"wantsMidi\":  %s,\n", Bool(wantsMidi));
    LogResult(L"  \"sendsMidi\": %s,\n", Bool(sendsMidi));
    LogResult(L"  \"platform\":  \"%s\",\n", SCAN_PLATFORM);
    LogResult(L"  \"audio64\":   %s,\n", Bool(audio64));
    LogResult(L"  \"category\":  %i,\n", category);
    LogResult(L"  \"synthEdit\": %s,\n", Bool(synthEdit));
    if (category == kCategoryShell) {
        LogResult(L"  \"shells\": {\n");
        for (int i = 0; i < shells.GetCount(); ++i) {
            const CShellInfo* shell = shells.GetAt(i);
            if (!shell) continue;
            LogResult(L"        \"%.8X\": \"%s\",\n", static_cast<uint32_t>(shell->id),
                      TextOrEmpty(JsonEscape(shell->name.GetData())));
        }
        LogResult(L"  },\n");
    }
    LogResult(L"}\n");
}
