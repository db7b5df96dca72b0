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
    if (n < 0) return nullptr;
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
        int oldBytes = BlockBytes(old->capacity);
        int newBytes = BlockBytes(n);
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
    int n = 0;
    while (text[n]) ++n;
    return n;
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
    if (position < 0 || position > oldLength) position = oldLength;
    int newLength = oldLength + count;

    Char* buffer;
    if (!m_data || Header()->refs > 1) {
        buffer = GetBuffer(newLength);
    } else if (Header()->capacity < newLength) {
        int doubled = 2 * Header()->capacity;
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
    if (count < 0) count = Measure(text);
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
    int n = static_cast<int>(wcslen(text));
    int room = (n + 1) * 3;  // one UTF-16 unit never needs more than three bytes
    char* buffer = utf8.GetBuffer(room);
    if (!buffer) return utf8;
    WideCharToMultiByte(CP_UTF8, 0, text, n + 1, buffer, room, nullptr, nullptr);
    return utf8;
}

CUniString FromUtf8(const char* text) {
    CUniString wide;
    if (!text) return wide;
    int n = static_cast<int>(strlen(text));
    wchar_t* buffer = wide.GetBuffer(n + 1);
    if (!buffer) return wide;
    MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, n + 1);
    return wide;
}

CUniString FromNarrow(const char* text) {
    CUniString wide;
    if (!text) return wide;
    int n = static_cast<int>(strlen(text));
    wchar_t* buffer = wide.GetBuffer(2 * n + 1);
    if (!buffer) return wide;
    // Plug-in names come in the plug-in's own unknown encoding: keep every byte's value
    // rather than guess a code page.
    for (int i = 0; i <= n; ++i) buffer[i] = static_cast<unsigned char>(text[i]);
    return wide;
}

}  // namespace Simple
