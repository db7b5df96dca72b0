#include <windows.h>

#include "server/request_loop.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) { return RunScanServer(instance); }
