// Per-request cost of the server against its limit. The same requests go, in turns within one
// run, to
//   - the real server through its pipes, driven by a host on one thread;
//   - scan-loop.exe, which makes the same platform and plug-in calls in a loop in one process:
//     the limit, with no pipe and no log line;
//   - pipe-replay.exe, which answers each request with the server's recorded answer, one unit
//     written and flushed at a time, and scans nothing: the pipe alone; and once more without
//     the flushes.
// Two kinds of request:
//   - re-used: a shell's sub-plug-in on the module that the shell's listing kept loaded;
//   - loaded:  a plain effect under a different file name each time, loaded and freed.
// Prints the median time per request of each and the medians of the per-round ratios.
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
    std::wstring answerFile;          // the server's answer to cycle[0], for the replay
};

bool Fits(const SAnswer& answer) {
    return answer.prompted && answer.text.find("\"error\":     \"\"") != std::string::npos &&
           answer.text.find("\n>:}\n") != std::string::npos;
}

// Seconds per request of a program that speaks the protocol (the server when program is
// empty); negative when a request went wrong. answer gets the last answer.
double PipeRound(const SCase& test, long count, const std::wstring& program, const std::wstring& arguments,
                 std::string* answer = nullptr) {
    BenchHost host;
    if (!(program.empty() ? host.Start() : host.StartProgram(program, arguments))) return -1;
    std::vector<std::string> cycle;
    for (const std::wstring& request : test.cycle) cycle.push_back(ToUtf8(request));
    if (!Fits(host.Request(ToUtf8(test.first)))) return -1;
    for (const std::string& request : cycle) {
        SAnswer warmUp = host.Request(request);
        if (!Fits(warmUp)) return -1;
        if (answer && &request == &cycle.front()) *answer = warmUp.text;
    }
    int misfits = 0;
    double start = Now();
    for (long i = 0; i < count; ++i)
        if (!Fits(host.Request(cycle[i % cycle.size()]))) ++misfits;
    double seconds = Now() - start;
    if (host.Close() != 0 || misfits > 0) {
        fprintf(stderr, "%s: %d failed requests\n", program.empty() ? "server" : "replay", misfits);
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
std::vector<std::wstring> Copies(const std::wstring& folder, const std::wstring& original, int copies) {
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

bool WriteWholeFile(const std::wstring& path, const std::string& text) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (!file) return false;
    bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    return fclose(file) == 0 && written;
}

size_t Lines(const std::string& text) {
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    long count = argc > 1 ? atol(argv[1]) : 200;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    if (count < 1) count = 1;
    if (rounds < 1) rounds = 1;
    std::wstring plugins = BinaryFolder() + L"\\plugins";
    std::wstring work = BinaryFolder() + L"\\bench-work";
    CreateDirectoryW(work.c_str(), nullptr);
    const int kCopies = 16;
    std::vector<std::wstring> copies = Copies(work, plugins + L"\\sample-effect.dll", kCopies);
    if (copies.empty()) return 1;
    std::wstring replay = BinaryFolder() + L"\\pipe-replay.exe";

    std::vector<SCase> cases = {
        {"module re-used from the cache (shell sub-plug-in)", plugins + L"\\sample-shell.dll",
         {plugins + L"\\sample-shell.dll>53614331"}, work + L"\\answer-reused.txt"},
        {"a different module each time (16 copies, loaded and freed)", copies.back(), copies,
         work + L"\\answer-loaded.txt"},
    };
    printf("per request, %ld requests a round, %d rounds, medians\n", count, rounds);
    for (const SCase& test : cases) {
        // The answer that the replay repeats.
        std::string answer;
        if (PipeRound(test, 1, L"", L"", &answer) < 0 || !WriteWholeFile(test.answerFile, answer)) {
            fprintf(stderr, "%s: no answer to replay\n", test.title);
            return 1;
        }
        std::wstring file = L"\"" + test.answerFile + L"\"";

        enum { kServer, kLoop, kReplay, kReplayNoFlush, kSides };
        std::vector<double> times[kSides], overLoop, overReplay, flushes;
        for (int round = 0; round < rounds; ++round) {
            double t[kSides];
            // Each side goes first in some round, so that none always meets a quiet machine.
            for (int step = 0; step < kSides; ++step) {
                int side = (round + step) % kSides;
                t[side] = side == kServer   ? PipeRound(test, count, L"", L"")
                          : side == kLoop   ? LoopRound(test, count)
                          : side == kReplay ? PipeRound(test, count, replay, file)
                                            : PipeRound(test, count, replay, file + L" noflush");
                if (t[side] <= 0) {
                    fprintf(stderr, "%s: round %d failed\n", test.title, round + 1);
                    return 1;
                }
            }
            for (int side = 0; side < kSides; ++side) times[side].push_back(t[side]);
            overLoop.push_back(t[kServer] / t[kLoop]);
            overReplay.push_back(t[kServer] / t[kReplay]);
            flushes.push_back(t[kReplay] / t[kReplayNoFlush]);
        }
        double server = Median(times[kServer]) * 1e6, loop = Median(times[kLoop]) * 1e6;
        double piped = Median(times[kReplay]) * 1e6, unflushed = Median(times[kReplayNoFlush]) * 1e6;
        size_t units = Lines(answer);
        printf("  %s: %zu lines an answer\n", test.title, units);
        printf("    server %10.1f us   in-process loop %8.1f us   ratio %8.2f\n", server, loop, Median(overLoop));
        printf("    server %10.1f us   replayed lines  %8.1f us   ratio %8.2f\n", server, piped, Median(overReplay));
        printf("    replay %10.1f us   without flushes %8.1f us   ratio %8.2f\n", piped, unflushed, Median(flushes));
        // Rows of the summary table.
        printf("| Request, %s | %.1f us | %.1f us (in-process loop) | %.2f |\n", test.title, server, loop,
               Median(overLoop));
        printf("| Same request against its %zu lines replayed (write + flush each, no scan) | %.1f us | %.1f us | %.2f |\n",
               units, server, piped, Median(overReplay));
        printf("| Those %zu lines replayed with a flush each, against no flushes | %.1f us | %.1f us | %.2f |\n", units,
               piped, unflushed, Median(flushes));
        fflush(stdout);
    }
    return 0;
}
