// The pipe alone: speaks the server's protocol without scanning anything. Started like the
// server (input and output pipe handles in hexadecimal), it prompts, and answers every request
// line with the lines of a recorded answer, each as one unit written and flushed the way the
// server's output channel does, then prompts again; it ends when the input pipe closes.
//
//     pipe-replay.exe <input> <output> <answer file> [noflush]
//
// With noflush the units are written without the flush, to show what the flushes cost.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

void Write(HANDLE output, const std::string& unit, bool flush) {
    DWORD written = 0;
    WriteFile(output, unit.data(), static_cast<DWORD>(unit.size()), &written, nullptr);
    if (flush) FlushFileBuffers(output);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: pipe-replay.exe <input> <output> <answer file> [noflush]\n");
        return 2;
    }
    auto input = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoull(argv[1], nullptr, 16)));
    auto output = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoull(argv[2], nullptr, 16)));
    bool flush = !(argc > 4 && wcscmp(argv[4], L"noflush") == 0);

    FILE* file = _wfopen(argv[3], L"rb");
    if (!file) {
        fprintf(stderr, "cannot open %ls\n", argv[3]);
        return 2;
    }
    std::vector<std::string> units;
    std::string unit;
    for (int c; (c = fgetc(file)) != EOF;) {
        unit += static_cast<char>(c);
        if (c == '\n') units.push_back(std::move(unit)), unit.clear();
    }
    fclose(file);
    if (!unit.empty()) units.push_back(unit);

    char buffer[1024];
    for (;;) {
        Write(output, "ready:\n", true);
        DWORD count = 0;
        if (!ReadFile(input, buffer, sizeof buffer, &count, nullptr) || count == 0) break;
        for (const std::string& line : units) Write(output, line, flush);
    }
    return 0;
}
