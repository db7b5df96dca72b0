// Per-request cost of the server against its limit. The same requests go, in turns within one
// run, (1) through the real server and its pipes, driven by a host on one thread, and (2) to
// scan-loop.exe, which makes the same platform and plug-in calls in a loop in one process.
// Two kinds of request:
//   - re-used: a shell's sub-plug-in on the module that the shell's listing kept loaded;
//   - loaded:  a plain effect under a different file name each time, loaded and freed.
// Prints the median time per request of each side and the median of the per-round ratios.
//
//     request-bench.exe [requests per round] [rounds]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_host.h"

namespace {

struct SCase {
    const char* title;
    std::wstring first;               // scanned once before the warm-up
    std::vector<std::wstring> cycle;  // scanned once as the warm-up, then in turn, timed
};

// Seconds per request through the server; negative when a request went wrong.
double ServerRound(const SCase& test, long count) {
    BenchHost host;
    if (!host.Start()) return -1;
    std::vector<std::string> cycle;
    for (const std::wstring& request : test.cycle) cycle.push_back(ToUtf8(request));
    auto fits = [](const SAnswer& answer) {
        return answer.prompted && answer.text.find("\"error\":     \"\"") != std::string::npos &&
               answer.text.find("\n>:}\n") != std::string::npos;
    };
    if (!fits(host.Request(ToUtf8(test.first)))) return -1;
    for (const std::string& request : cycle)
        if (!fits(host.Request(request))) return -1;
    int misfits = 0;
    double start = Now();
    for (long i = 0; i < count; ++i)
        if (!fits(host.Request(cycle[i % cycle.size()]))) ++misfits;
    double seconds = Now() - start;
    if (host.Close() != 0 || misfits > 0) {
        fprintf(stderr, "server round: %d failed requests\n", misfits);
        return -1;
    }
    return seconds / static_cast<double>(count);
}

// Seconds per request of the in-process loop; negative when a scan failed.
double LoopRound(const SCase& test, long count) {
    std::wstring commandLine = L"\"" + BinaryFolder() + L"\\scan-loop.exe\" " + std::to_wstring(count) + L" \"" +
                               test.first + L"\"";
    for (const std::wstring& request : test.cycle) commandLine += L" \"" + request + L"\"";
    int exitCode = -1;
    std::string output = RunProgram(commandLine, exitCode);
    double seconds = 0;
    int failed = -1;
    if (exitCode != 0 || sscanf(output.c_str(), "%lf %d", &seconds, &failed) != 2 || failed != 0) {
        fprintf(stderr, "scan-loop: exit code %d, output %s\n", exitCode, output.c_str());
        return -1;
    }
    return seconds / static_cast<double>(count);
}

// Copies of one plug-in under several names, so that every request loads a module anew.
std::vector<std::wstring> Copies(const std::wstring& original, int copies) {
    std::wstring folder = BinaryFolder() + L"\\bench-copies";
    CreateDirectoryW(folder.c_str(), nullptr);
    std::vector<std::wstring> paths;
    for (int i = 0; i < copies; ++i) {
        wchar_t name[32];
        swprintf(name, 32, L"\\effect-%02d.dll", i);
        std::wstring path = folder + name;
        if (!CopyFileW(original.c_str(), path.c_str(), FALSE)) {
            fprintf(stderr, "CopyFileW(%ls) failed: %lu\n", path.c_str(), GetLastError());
            return {};
        }
        paths.push_back(path);
    }
    return paths;
}

}  // namespace

int main(int argc, char** argv) {
    long count = argc > 1 ? atol(argv[1]) : 300;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    if (count < 1) count = 1;
    if (rounds < 1) rounds = 1;
    std::wstring plugins = BinaryFolder() + L"\\plugins";
    const int kCopies = 16;
    std::vector<std::wstring> copies = Copies(plugins + L"\\sample-effect.dll", kCopies);
    if (copies.empty()) return 1;

    std::vector<SCase> cases = {
        {"module re-used from the cache (shell sub-plug-in)", plugins + L"\\sample-shell.dll",
         {plugins + L"\\sample-shell.dll>53614331"}},
        {"a different module each time (16 copies, loaded and freed)", copies.back(), copies},
    };
    printf("per request, %ld requests a round, %d rounds; server = real server through its pipes,\n"
           "limit = the same calls in one process (scan-loop.exe)\n",
           count, rounds);
    for (const SCase& test : cases) {
        std::vector<double> server, loop, ratios;
        for (int round = 0; round < rounds; ++round) {
            bool serverFirst = round % 2 == 0;
            double a = serverFirst ? ServerRound(test, count) : LoopRound(test, count);
            double b = serverFirst ? LoopRound(test, count) : ServerRound(test, count);
            double s = serverFirst ? a : b, l = serverFirst ? b : a;
            if (s <= 0 || l <= 0) {
                fprintf(stderr, "%s: round %d failed\n", test.title, round + 1);
                return 1;
            }
            server.push_back(s);
            loop.push_back(l);
            ratios.push_back(s / l);
        }
        printf("  %s\n", test.title);
        printf("    server %9.1f us   limit %9.1f us   ratio %.2f\n", Median(server) * 1e6, Median(loop) * 1e6,
               Median(ratios));
        printf("| Request, %s | %.1f us | %.1f us (in-process loop) | %.2f |\n", test.title, Median(server) * 1e6,
               Median(loop) * 1e6, Median(ratios));
        fflush(stdout);
    }
    return 0;
}
