#include "scan/plugin_info.h"

#include "server/output_channel.h"
#include "simple/platform.h"

void CPluginInfo::WriteJson() const {
    LogResult(L"{\n");
    LogResult(L"  \"id\":        \"%.8X\",\n", id);
    LogResult(L"  \"error\":     \"%s\",\n", error.GetData() ? error.GetData() : L"");
    LogResult(L"  \"platform\":  \"%s\",\n", SCAN_PLATFORM);
    LogResult(L"}\n");
}
