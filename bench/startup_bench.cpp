// Start-up latency of the scan server against a minimal GUI program started the same way:
// from the call that creates the process to the first "ready:\n" on the output pipe. The two
// programs take turns, so that both see the same machine; prints the medians and the median of
// the per-run ratios.
//
//     startup-bench.exe [runs]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/support/test_host.h"

namespace {

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Milliseconds from process creation to the prompt; negative when it failed.
double TimeToPrompt(const std::wstring& program) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    TestHost host;
    QueryPerformanceCounter(&start);
    if (!host.StartProgram(program, L"%IN% %OUT% 0")) return -1;
    std::string seen = host.WaitFor("ready:\n");
    QueryPerformanceCounter(&end);
    host.CloseInput();
    if (host.timedOut() || host.WaitForExit() != 0) return -1;
    return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 20;
    if (runs < 1) runs = 1;
    std::wstring server = TestHost::ServerPath();
    std::wstring baseline = TestHost::BinaryFolder() + L"\\startup-baseline.exe";
    // One unmeasured start of each, so that neither pays for loading Wine's DLLs first.
    TimeToPrompt(server);
    TimeToPrompt(baseline);

    std::vector<double> serverTimes, baselineTimes, ratios;
    for (int i = 0; i < runs; ++i) {
        bool serverFirst = i % 2 == 0;
        double a = TimeToPrompt(serverFirst ? server : baseline);
        double b = TimeToPrompt(serverFirst ? baseline : server);
        double s = serverFirst ? a : b, m = serverFirst ? b : a;
        if (s < 0 || m <= 0) {
            fprintf(stderr, "run %d failed (server %.1f ms, baseline %.1f ms)\n", i + 1, s, m);
            return 1;
        }
        serverTimes.push_back(s);
        baselineTimes.push_back(m);
        ratios.push_back(s / m);
    }
    printf("start-up to first \"ready:\\n\", %d runs each\n", runs);
    printf("  scan server       median %8.1f ms\n", Median(serverTimes));
    printf("  minimal program   median %8.1f ms\n", Median(baselineTimes));
    printf("  median ratio (server / minimal): %.2f\n", Median(ratios));
    return 0;
}
