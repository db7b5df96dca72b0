// The scan server's start-up, request loop and exit sequence.
#pragma once

#include <windows.h>

// Dispatches every message queued for this thread (no TranslateMessage): the progress window
// is served only at these fixed points, never beside plug-in code.
void DispatchQueuedMessages();

// Runs the whole server: start-up, message mode or request mode, the exit sequence.
// Returns the process exit code.
int RunScanServer(HINSTANCE instance);
