// The server's private bytes over a long run of mixed requests (plain, shell and failing
// plug-ins): measured after a warm-up, then after 100, 1,000 and 10,000 more requests, with the
// growth per request. A server that keeps nothing between requests stays flat.
//
//     memory-bench.exe [largest count]
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "bench/bench_host.h"
#include "bench/request_mix.h"

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
    for (long count = 100; count <= largest; count *= 10) {
        if (!run(kWarmUp + count)) return 1;
        size_t bytes = host.PrivateBytes();
        double growth = (static_cast<double>(bytes) - static_cast<double>(base)) / static_cast<double>(count);
        printf("  after %6ld more: %zu KiB, growth %+.1f bytes per request\n", count, bytes / 1024, growth);
        // A row of the summary table.
        printf("| Private bytes after %ld requests | %zu KiB | %zu KiB after %d warm-up requests | %.3f (%+.1f B/request) |\n",
               count, bytes / 1024, base / 1024, kWarmUp, static_cast<double>(bytes) / static_cast<double>(base), growth);
        fflush(stdout);
    }
    int exitCode = host.Close();
    if (misfits > 0 || exitCode != 0) {
        fprintf(stderr, "%d unexpected answers, exit code %d\n", misfits, exitCode);
        return 1;
    }
    return 0;
}
