// The server's private bytes over a long run of mixed requests (plain, shell and failing
// plug-ins): measured after a warm-up, then after 100, 1,000 and 10,000 more requests, with the
// growth per request, beside the growth of scan-loop.exe making the same calls in one process.
// A server that keeps nothing between requests stays flat.
//
// Then the same for a plug-in that links the mingw C++ runtime (sample-effect.dll), loaded and
// freed on every request: such a module leaves a block behind on each load in any process, so
// the server is compared with the in-process loop there.
//
//     memory-bench.exe [largest count]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_host.h"
#include "bench/request_mix.h"

namespace {

// Bytes that scan-loop's private bytes grew by over count requests after its warm-up; false
// when it did not run.
bool LoopGrowth(const std::vector<std::string>& cycle, long count, double& growth) {
    std::wstring commandLine =
        L"\"" + BinaryFolder() + L"\\scan-loop.exe\" " + std::to_wstring(count) + L" \"" + FromUtf8(cycle[0]) + L"\"";
    for (const std::string& request : cycle) commandLine += L" \"" + FromUtf8(request) + L"\"";
    int exitCode = -1;
    std::string output = RunProgram(commandLine, exitCode);
    double seconds = 0;
    int failed = 0;
    long long bytes = 0;
    if (exitCode != 0 || sscanf(output.c_str(), "%lf %d %lld", &seconds, &failed, &bytes) != 3) {
        fprintf(stderr, "scan-loop: exit code %d, output %s\n", exitCode, output.c_str());
        return false;
    }
    growth = static_cast<double>(bytes);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long largest = argc > 1 ? atol(argv[1]) : 10000;
    const int kWarmUp = 100;
    std::vector<SMixedRequest> mix = MixedRequests(BinaryFolder() + L"\\plugins");

    BenchHost host;
    if (!host.Start()) {
        fprintf(stderr, "the server did not start\n");
        return 1;
    }
    long sent = 0;
    int misfits = 0;
    auto run = [&](long until) {
        for (; sent < until; ++sent) {
            const SMixedRequest& request = mix[sent % mix.size()];
            SAnswer answer = host.Request(request.line);
            if (!answer.prompted) {
                fprintf(stderr, "no prompt after request %ld (%s)\n", sent + 1, request.line.c_str());
                return false;
            }
            if (!AnswerFits(request, answer.text) && ++misfits <= 3)
                fprintf(stderr, "unexpected answer to %s:\n%s\n", request.line.c_str(), answer.text.c_str());
        }
        return true;
    };

    if (!run(kWarmUp)) return 1;
    size_t base = host.PrivateBytes();
    if (base == 0) {
        fprintf(stderr, "GetProcessMemoryInfo failed: %lu\n", GetLastError());
        return 1;
    }
    printf("private bytes of the server over mixed requests (%zu kinds in turn)\n", mix.size());
    printf("  after a warm-up of %d requests: %zu KiB\n", kWarmUp, base / 1024);
    double lastGrowth = 0;
    for (long count = 100; count <= largest; count *= 10) {
        if (!run(kWarmUp + count)) return 1;
        size_t bytes = host.PrivateBytes();
        lastGrowth = (static_cast<double>(bytes) - static_cast<double>(base)) / static_cast<double>(count);
        printf("  after %6ld more: %zu KiB, growth %+.1f bytes per request\n", count, bytes / 1024, lastGrowth);
        printf("| Private bytes after %ld mixed requests | %zu KiB | %zu KiB after %d warm-up requests | %.3f (%+.1f B/request) |\n",
               count, bytes / 1024, base / 1024, kWarmUp, static_cast<double>(bytes) / static_cast<double>(base),
               lastGrowth);
        fflush(stdout);
    }
    int exitCode = host.Close();
    if (misfits > 0 || exitCode != 0) {
        fprintf(stderr, "%d unexpected answers, exit code %d\n", misfits, exitCode);
        return 1;
    }

    // The in-process loop over the same mix, as many requests as the last checkpoint.
    long count = sent - kWarmUp;
    std::vector<std::string> cycle;
    for (const SMixedRequest& request : mix) cycle.push_back(request.line);
    double loopBytes = 0;
    if (!LoopGrowth(cycle, count, loopBytes)) return 1;
    printf("  in-process loop over the same %ld requests: growth %+.1f bytes per request\n", count,
           loopBytes / static_cast<double>(count));
    printf("| Growth per mixed request, server against in-process loop | %+.1f B | %+.1f B | - |\n", lastGrowth,
           loopBytes / static_cast<double>(count));

    // A plug-in with the C++ runtime inside, loaded and freed each time, in both.
    const long kLoads = 1000;
    std::string plugin = ToUtf8(BinaryFolder() + L"\\plugins\\sample-effect.dll");
    BenchHost loader;
    if (!loader.Start()) return 1;
    bool answered = loader.Request(plugin).prompted && loader.Request(plugin).prompted;
    size_t before = loader.PrivateBytes();
    for (long i = 0; i < kLoads && answered; ++i) answered = loader.Request(plugin).prompted;
    size_t after = loader.PrivateBytes();
    if (!answered || loader.Close() != 0 || !LoopGrowth({plugin}, kLoads, loopBytes)) {
        fprintf(stderr, "the loads of %s did not complete\n", plugin.c_str());
        return 1;
    }
    double serverGrowth = (static_cast<double>(after) - static_cast<double>(before)) / kLoads;
    double loopGrowth = loopBytes / kLoads;
    printf("  sample-effect.dll (C++ runtime inside) loaded and freed %ld times: server %+.1f, in-process loop "
           "%+.1f bytes per request\n",
           kLoads, serverGrowth, loopGrowth);
    printf("| Growth per load of sample-effect.dll (C++ runtime inside), server against in-process loop | %+.1f B | "
           "%+.1f B | %.2f |\n",
           serverGrowth, loopGrowth, loopGrowth != 0 ? serverGrowth / loopGrowth : 0.0);
    return 0;
}
