// Reference-counted, copy-on-write text: Simple::CUniString (UTF-16 code units) and
// Simple::CAnsiString (bytes). A value is one pointer: null for the empty text without a
// block, or the first character of a heap block that starts with STextHeader.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace Simple {

// Header in front of every text block; the value points just behind it.
struct STextHeader {
    int32_t refs;      // values sharing this block, at least 1
    int32_t capacity;  // code units the block holds, terminator not counted
    int32_t length;    // code units before the first terminator, or -1 until counted
};
static_assert(sizeof(STextHeader) == 12, "the block header is three 32-bit fields");

namespace Detail {

// Shared implementation of both text types. Spare is the number of code units allocated
// after the capacity (terminator and spare room): 2 for wide text, 4 for bytes, so that a
// block is capacity * 2 + 16 or capacity + 16 bytes.
template <typename Char, int Spare>
class CTextBase {
public:
    CTextBase() = default;
    CTextBase(const CTextBase& other) : m_data(other.m_data) {
        if (m_data) ++Header()->refs;
    }
    CTextBase& operator=(const CTextBase& other) {
        if (this != &other) {
            Char* data = other.m_data;
            if (data) ++(reinterpret_cast<STextHeader*>(data) - 1)->refs;
            Release();
            m_data = data;
        }
        return *this;
    }
    ~CTextBase() { Release(); }

    // Drops this value's reference; the last holder frees the block. The value becomes null.
    void Release();

    // An unshared, writable buffer with room for n code units and a terminator; the cached
    // length becomes -1. Null when memory ran out (the text is then unchanged).
    Char* GetBuffer(int n);

    int GetLength() const;
    bool IsEmpty() const { return GetLength() == 0; }
    // First code unit, or null when the text has no block.
    const Char* GetData() const { return m_data; }

    // Block header, for inspection; null when the text has no block.
    const STextHeader* GetHeader() const { return m_data ? Header() : nullptr; }

    static constexpr int SpareUnits = Spare;
    // Largest capacity whose block size still fits a signed 32-bit count of bytes.
    static constexpr int MaxCapacity = static_cast<int>((0x7FFFFFFF - sizeof(STextHeader)) / sizeof(Char)) - Spare;
    static constexpr size_t BlockBytes(int capacity) {
        return sizeof(STextHeader) + (static_cast<size_t>(capacity) + Spare) * sizeof(Char);
    }

protected:
    bool AssignUnits(const Char* text, int count);
    bool InsertUnits(int position, const Char* text, int count);
    static int Measure(const Char* text);

    STextHeader* Header() const { return reinterpret_cast<STextHeader*>(m_data) - 1; }

    Char* m_data = nullptr;
};

}  // namespace Detail

class CUniString : public Detail::CTextBase<wchar_t, 2> {
public:
    // Replaces the content with the first count code units of text (-1: up to its terminator).
    // A null text leaves the value empty without a block.
    bool Assign(const wchar_t* text, int count = -1);
    // Inserts count code units of text at position (-1: at the end; count -1: up to the
    // terminator). A count of 0 changes nothing.
    bool Insert(int position, const wchar_t* text, int count = -1);

    // Printf-style formatting with the C runtime's legacy wide conventions: %s takes wide
    // text, %S 8-bit text widened byte by byte, a null text prints as "(null)".
    static CUniString Format(const wchar_t* format, ...);
    static CUniString FormatV(const wchar_t* format, va_list arguments);
};

class CAnsiString : public Detail::CTextBase<char, 4> {
public:
    bool Assign(const char* text);
    bool Insert(int position, const char* text);
};

static_assert(sizeof(CUniString) == sizeof(void*), "a text value is one pointer");
static_assert(sizeof(CAnsiString) == sizeof(void*), "a text value is one pointer");

CAnsiString ToUtf8(const wchar_t* text);
CUniString FromUtf8(const char* text);
// Each byte becomes the code unit of the same value; no code page is applied.
CUniString FromNarrow(const char* text);

}  // namespace Simple
