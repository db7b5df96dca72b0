// The always-on-top layered window that shows a scan is running.
#pragma once

#include <windows.h>

// Null until created, and when no picture could be loaded.
extern HWND progressWindow;

void CreateProgressWindow(HINSTANCE instance, HWND owner);
