#include "ui/progress_window.h"

HWND progressWindow = nullptr;

// Minimal version until the window lands: no window is shown.
void CreateProgressWindow(HINSTANCE, HWND) {}
