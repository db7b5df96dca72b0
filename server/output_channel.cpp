#include "server/output_channel.h"

#include "simple/text.h"

HANDLE outputHandle = nullptr;

void WriteChannel(const char* level, const wchar_t* format, va_list arguments) {
    Simple::CAnsiString unit;
    unit.Assign(level);
    unit.Insert(-1, ":");
    {
        Simple::CUniString message = Simple::CUniString::FormatV(format, arguments);
        Simple::CAnsiString utf8 = Simple::ToUtf8(message.GetData());
        unit.Insert(-1, utf8.GetData());
    }
    // A failed write is not reported: the next read of the request loop shows whether the
    // host is still there.
    DWORD written = 0;
    WriteFile(outputHandle, unit.GetData(), static_cast<DWORD>(unit.GetLength()), &written, nullptr);
    FlushFileBuffers(outputHandle);
}

Simple::CUniString PluginTextForLog(const char* text) {
    Simple::CUniString wide = Simple::FromNarrow(text);
    int length = wide.GetLength();
    if (length == 0) return wide;
    if (wchar_t* units = wide.GetBuffer(length))
        for (int i = 0; i < length; ++i)
            if (units[i] < 0x20) units[i] = L'?';
    return wide;
}

#define SCAN_DEFINE_WRITER(name, level)               \
    void name(const wchar_t* format, ...) {           \
        va_list arguments;                            \
        va_start(arguments, format);                  \
        WriteChannel(level, format, arguments);       \
        va_end(arguments);                            \
    }

SCAN_DEFINE_WRITER(LogError, "error")
SCAN_DEFINE_WRITER(LogWarn, "warn")
SCAN_DEFINE_WRITER(LogInfo, "info")
SCAN_DEFINE_WRITER(LogResult, ">")
