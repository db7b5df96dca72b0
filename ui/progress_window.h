// The always-on-top layered window that shows a scan is running: the embedded "scanning"
// picture near the bottom-right corner of the work area of the host's monitor.
#pragma once

#include <windows.h>

// Null until created, and when no picture could be loaded (then no window is created). After
// a WM_CLOSE it names no window; activating or destroying it then has no effect.
extern HWND progressWindow;

// Creates, shows and activates the window on the monitor of `owner` (the foreground window
// when null). The window is never owned by `owner`: its parent is the desktop.
void CreateProgressWindow(HINSTANCE instance, HWND owner);

// Answers HTCAPTION everywhere, so a press anywhere drags the window; the rest is default.
LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Resource 101 of type "PNG" of `instance` as a premultiplied 32-bit bottom-up DIB section, or
// null when it is missing or cannot be decoded. Needs GDI+ started.
HBITMAP LoadProgressBitmap(HINSTANCE instance);

// Multiplies red, green and blue of every pixel of a 32-bit DIB section by its alpha / 255,
// truncating. Anything else is left as it is.
void PremultiplyAlpha(HBITMAP dib);

// Top-left corner of a picture of the given size whose bottom-right corner sits 10 pixels left
// of and above the reference corner (the work area's right and bottom edges).
POINT PlaceProgressWindow(LONG right, LONG bottom, LONG width, LONG height);
