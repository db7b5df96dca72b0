// The output channel: every line the scan server sends to the host is one unit, the level
// text, ":" and the printf-formatted message in UTF-8, written with one WriteFile and flushed.
#pragma once

#include <windows.h>

#include <cstdarg>

#include "simple/text.h"

// Where every unit goes; chosen by the request loop at start-up.
extern HANDLE outputHandle;

void WriteChannel(const char* level, const wchar_t* format, va_list arguments);

void LogError(const wchar_t* format, ...);
void LogWarn(const wchar_t* format, ...);
void LogInfo(const wchar_t* format, ...);
void LogResult(const wchar_t* format, ...);

// A plug-in's 8-bit text widened byte by byte for a log line, with its control characters
// (below U+0020) shown as '?': a line feed inside a plug-in's text would otherwise start a line
// of its own on the host's side, and could pass for a record line or a prompt.
Simple::CUniString PluginTextForLog(const char* text);
