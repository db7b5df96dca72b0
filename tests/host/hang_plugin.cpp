// A plug-in whose entry point never returns, as some do while they wait for a licence dialog
// nobody sees: what the scan timeout is for.
#include <windows.h>

#include "scan/vst2.h"

extern "C" __declspec(dllexport) AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback) {
    for (;;) Sleep(INFINITE);
}
