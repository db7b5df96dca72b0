#include "simple/text.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>


namespace Simple {
namespace Detail {

template <typename Char, int Spare>
void CTextBase<Char, Spare>::Release() {
    if (!m_data) return;
    STextHeader* header = Header();
    if (header->refs <= 1)
        free(header);
    else
        --header->refs;
    m_data = nullptr;
}

template <typename Char, int Spare>
Char* CTextBase<Char, Spare>::GetBuffer(int n) {
    // A capacity whose block size would not fit the header's 32-bit counts is refused like a
    // failed allocation.
    if (n < 0 || n > MaxCapacity) return nullptr;
    if (!m_data) {
        auto* header = static_cast<STextHeader*>(malloc(BlockBytes(n)));
        if (!header) return nullptr;
        *header = {1, n, -1};
        m_data = reinterpret_cast<Char*>(header + 1);
        m_data[n] = 0;
        return m_data;
    }
    STextHeader* old = Header();
    if (old->refs > 1) {
        // Copy-on-write: the private copy is sized exactly; the caller terminates the content.
        auto* header = static_cast<STextHeader*>(malloc(BlockBytes(n)));
        if (!header) return nullptr;
        size_t oldBytes = BlockBytes(old->capacity);
        size_t newBytes = BlockBytes(n);
        memcpy(header, old, oldBytes < newBytes ? oldBytes : newBytes);
        --old->refs;
        *header = {1, n, -1};
        m_data = reinterpret_cast<Char*>(header + 1);
        return m_data;
    }
    if (old->capacity >= n) {
        old->length = -1;
        return m_data;
    }
    auto* header = static_cast<STextHeader*>(realloc(old, BlockBytes(n)));
    if (!header) return nullptr;
    *header = {1, n, -1};
    m_data = reinterpret_cast<Char*>(header + 1);
    m_data[n] = 0;
    return m_data;
}

template <typename Char, int Spare>
int CTextBase<Char, Spare>::GetLength() const {
    if (!m_data) return 0;
    STextHeader* header = Header();
    if (header->length == -1) header->length = Measure(m_data);
    return header->length;
}

template <typename Char, int Spare>
int CTextBase<Char, Spare>::Measure(const Char* text) {
    if (!text) return 0;
    size_t n = 0;
    while (text[n]) ++n;
    // Longer than any block can hold: such a text cannot be copied, and MaxCapacity + 1 makes
    // the copy fail like an allocation.
    return n > static_cast<size_t>(MaxCapacity) ? MaxCapacity + 1 : static_cast<int>(n);
}

template <typename Char, int Spare>
bool CTextBase<Char, Spare>::AssignUnits(const Char* text, int count) {
    Release();
    if (!text) return true;
    if (count < 0) count = Measure(text);
    Char* buffer = GetBuffer(count);
    if (!buffer) return false;
    memcpy(buffer, text, count * sizeof(Char));
    buffer[count] = 0;
    Header()->length = count;
    return true;
}

template <typename Char, int Spare>
bool CTextBase<Char, Spare>::InsertUnits(int position, const Char* text, int count) {
    int oldLength = GetLength();
    // A position outside the text appends rather than writing outside the block.
    if (position < 0 || position > oldLength) position = oldLength;
    if (count > MaxCapacity - oldLength) return false;
    int newLength = oldLength + count;

    Char* buffer;
    if (!m_data || Header()->refs > 1) {
        buffer = GetBuffer(newLength);
    } else if (Header()->capacity < newLength) {
        int capacity = Header()->capacity;
        int doubled = capacity > MaxCapacity / 2 ? MaxCapacity : 2 * capacity;
        buffer = GetBuffer(doubled > newLength ? doubled : newLength);
    } else {
        buffer = m_data;
    }
    if (!buffer) return false;

    if (count > 0) {
        if (position < oldLength)
            memmove(buffer + position + count, buffer + position, (oldLength - position) * sizeof(Char));
        memcpy(buffer + position, text, count * sizeof(Char));
    }
    buffer[newLength] = 0;
    Header()->length = newLength;
    return true;
}

template class CTextBase<wchar_t, 2>;
template class CTextBase<char, 4>;

}  // namespace Detail

bool CUniString::Assign(const wchar_t* text, int count) { return AssignUnits(text, count); }

bool CUniString::Insert(int position, const wchar_t* text, int count) {
    if (count == 0) return true;
    // A null text has nothing to insert, whatever count says.
    if (count < 0 || !text) count = Measure(text);
    return InsertUnits(position, text, count);
}

CUniString CUniString::Format(const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    CUniString text = FormatV(format, arguments);
    va_end(arguments);
    return text;
}

CUniString CUniString::FormatV(const wchar_t* format, va_list arguments) {
    CUniString text;
    if (!format) return text;
    va_list counting;
    va_copy(counting, arguments);
    int needed = _vscwprintf(format, counting);
    va_end(counting);
    if (needed < 0) return text;
    wchar_t* buffer = text.GetBuffer(needed + 1);
    if (!buffer) return text;
    _vswprintf_p(buffer, needed + 1, format, arguments);
    return text;
}

bool CAnsiString::Assign(const char* text) { return AssignUnits(text, -1); }

bool CAnsiString::Insert(int position, const char* text) { return InsertUnits(position, text, Measure(text)); }

CAnsiString ToUtf8(const wchar_t* text) {
    CAnsiString utf8;
    if (!text) return utf8;
    size_t n = wcslen(text);
    // One UTF-16 unit never needs more than three bytes, terminator included.
    if (n >= static_cast<size_t>(CAnsiString::MaxCapacity / 3)) return utf8;
    int room = (static_cast<int>(n) + 1) * 3;
    char* buffer = utf8.GetBuffer(room);
    if (!buffer) return utf8;
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n) + 1, buffer, room, nullptr, nullptr);
    return utf8;
}

CUniString FromUtf8(const char* text) {
    CUniString wide;
    if (!text) return wide;
    size_t n = strlen(text);
    if (n >= static_cast<size_t>(CUniString::MaxCapacity)) return wide;
    wchar_t* buffer = wide.GetBuffer(static_cast<int>(n) + 1);
    if (!buffer) return wide;
    int written = MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, static_cast<int>(n) + 1);
    // Some converters take the terminator into a broken sequence at the end and write none;
    // the text ends where the converter stopped, never in the buffer's unwritten rest.
    buffer[written > 0 ? written : 0] = 0;
    return wide;
}

CUniString FromNarrow(const char* text) {
    CUniString wide;
    if (!text) return wide;
    size_t n = strlen(text);
    if (n >= static_cast<size_t>(CUniString::MaxCapacity / 2)) return wide;
    wchar_t* buffer = wide.GetBuffer(2 * static_cast<int>(n) + 1);
    if (!buffer) return wide;
    // Plug-in names come in the plug-in's own unknown encoding: keep every byte's value
    // rather than guess a code page.
    for (size_t i = 0; i <= n; ++i) buffer[i] = static_cast<unsigned char>(text[i]);
    return wide;
}

}  // namespace Simple
