// A shell plug-in with 1,000, 10,000 and 100,000 sub-plug-ins (bench-shell.dll, its size from
// BENCH_SHELL_SIZE) through the real server: the time per entry of the enumeration (request
// written to the record's first line, the "Found shell" log lines included) and of the record's
// output (first record line to the prompt); the first listing loads the module and keeps it.
// n log n or better means the time per entry grows no faster than log n.
//
//     scale-bench.exe [largest size]
#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_host.h"

namespace {

size_t CountLines(const std::string& text, const std::string& start) {
    size_t count = 0;
    std::string marker = "\n" + start;
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + marker.size())) ++count;
    return count;
}

struct SFigures {
    double enumeration = 0, output = 0;  // seconds per entry, medians
};

bool Measure(long size, SFigures& figures) {
    SetEnvironmentVariableW(L"BENCH_SHELL_SIZE", std::to_wstring(size).c_str());
    BenchHost host;
    if (!host.Start()) return false;
    std::string request = ToUtf8(BinaryFolder() + L"\\plugins\\bench-shell.dll");
    // Enough runs for a median without making the largest size slow (every line of the answer
    // is a pipe unit: 100,000 entries take minutes). The first run also loads the module, which
    // adds a few milliseconds: under 1% of the smallest size's time.
    int runs = size >= 100000 ? 1 : size >= 10000 ? 3 : 5;
    std::vector<double> enumeration, output;
    for (int run = 0; run < runs; ++run) {
        SAnswer answer = host.Request(request, 600000);
        size_t shells = CountLines(answer.text, ">:        \"");
        size_t found = CountLines(answer.text, "info:Found shell: ");
        if (!answer.prompted || answer.recordStart == 0 || shells != static_cast<size_t>(size) ||
            found != static_cast<size_t>(size) || answer.text.find("\"error\":     \"\"") == std::string::npos) {
            fprintf(stderr, "shell of %ld: %zu entries, %zu log lines, prompted %d\n", size, shells, found,
                    answer.prompted);
            return false;
        }
        enumeration.push_back((answer.recordStart - answer.sent) / static_cast<double>(size));
        output.push_back((answer.done - answer.recordStart) / static_cast<double>(size));
    }
    figures = {Median(enumeration), Median(output)};
    return host.Close() == 0;
}

}  // namespace

int main(int argc, char** argv) {
    long largest = argc > 1 ? atol(argv[1]) : 100000;
    printf("shell of n sub-plug-ins through the server; us per entry (medians)\n");
    printf("%8s | %12s %8s | %12s %8s | %s\n", "n", "enumeration", "growth", "record", "growth", "log n growth");
    std::vector<std::pair<long, SFigures>> results;
    for (long size = 1000; size <= largest; size *= 10) {
        SFigures figures;
        if (!Measure(size, figures)) return 1;
        results.emplace_back(size, figures);
        const SFigures& first = results.front().second;
        double logGrowth = std::log2(static_cast<double>(size)) / std::log2(1000.0);
        printf("%8ld | %12.2f %8.2f | %12.2f %8.2f | %.2f\n", size, figures.enumeration * 1e6,
               figures.enumeration / first.enumeration, figures.output * 1e6, figures.output / first.output,
               logGrowth);
        // Rows of the summary table: the baseline is the time per entry at 1,000 entries.
        for (int part = 0; part < 2; ++part) {
            double value = part == 0 ? figures.enumeration : figures.output;
            double base = part == 0 ? first.enumeration : first.output;
            printf("| Shell of %ld, %s per entry | %.2f us | %.2f us at 1000 | %.2f (log n: %.2f) |\n", size,
                   part == 0 ? "enumeration" : "record output", value * 1e6, base * 1e6, value / base, logGrowth);
        }
        fflush(stdout);
    }
    return 0;
}
