// The shell record at scale: a shell that reports n distinct sub-plug-ins. Times, per entry,
// (1) the probe's duplicate check, Find then Set on Simple::CMap, against std::map, and
// (2) CPluginInfo::WriteJson of the n-entry record, against a plain writer over a std::map of
// std::wstring names that sends the same units the same way (one WriteFile and flush per line)
// to the same NUL handle. Both sides run in turns in one process; prints medians and ratios.
//
//     record-bench.exe [largest n]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "scan/plugin_info.h"
#include "server/output_channel.h"
#include "simple/containers.h"
#include "simple/platform.h"

namespace {

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// n distinct ids as a shell reports them: random 32-bit values, the top bit set in half of them.
std::vector<int32_t> DistinctIds(int n, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<int32_t> ids;
    std::map<int32_t, bool> seen;
    while (static_cast<int>(ids.size()) < n) {
        auto id = static_cast<int32_t>(random());
        if (seen.emplace(id, true).second) ids.push_back(id);
    }
    return ids;
}

std::wstring NameOf(int i) { return L"Sub plug-in \"" + std::to_wstring(i) + L"\" / \x00e9"; }

// ---- the standard side ---------------------------------------------------------------------

void StdEscape(const std::wstring& text, std::wstring& out) {
    static const wchar_t kHex[] = L"0123456789abcdef";
    for (wchar_t c : text) {
        switch (c) {
            case L'"': out += L"\\\""; break;
            case L'\\': out += L"\\\\"; break;
            case L'/': out += L"\\/"; break;
            case L'\b': out += L"\\b"; break;
            case L'\f': out += L"\\f"; break;
            case L'\n': out += L"\\n"; break;
            case L'\r': out += L"\\r"; break;
            case L'\t': out += L"\\t"; break;
            default:
                if (c >= 0x20 && c <= 0x7E) {
                    out += c;
                } else {
                    unsigned v = static_cast<uint16_t>(c);
                    out += L"\\u";
                    out += kHex[(v >> 12) & 0xF];
                    out += kHex[(v >> 8) & 0xF];
                    out += kHex[(v >> 4) & 0xF];
                    out += kHex[v & 0xF];
                }
        }
    }
}

void StdHex(uint32_t value, std::wstring& out) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

// One unit: level prefix and the UTF-8 line, one write and a flush, as the output channel does.
void StdUnit(HANDLE handle, const std::wstring& line) {
    std::string unit = ">:";
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    size_t at = unit.size();
    unit.resize(at + bytes);
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &unit[at], bytes, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(handle, unit.data(), static_cast<DWORD>(unit.size()), &written, nullptr);
    FlushFileBuffers(handle);
}

struct SStdRecord {
    int32_t id = 0x45784268;
    std::wstring name = L"Example Bundle", vendor = L"Example Vendor", product = L"Example Bundle";
    std::wstring version = L"2.0.1.0", error;
    std::vector<std::pair<int32_t, std::wstring>> shells;
};

void StdStringMember(HANDLE handle, const wchar_t* head, const std::wstring& value) {
    std::wstring line = head;
    StdEscape(value, line);
    line += L"\",\n";
    StdUnit(handle, line);
}

void StdWriteJson(HANDLE handle, const SStdRecord& record) {
    StdUnit(handle, L"{\n");
    std::wstring line = L"  \"id\":        \"";
    StdHex(static_cast<uint32_t>(record.id), line);
    line += L"\",\n";
    StdUnit(handle, line);
    StdStringMember(handle, L"  \"name\":      \"", record.name);
    StdStringMember(handle, L"  \"vendor\":    \"", record.vendor);
    StdStringMember(handle, L"  \"product\":   \"", record.product);
    StdStringMember(handle, L"  \"version\":   \"", record.version);
    StdStringMember(handle, L"  \"error\":     \"", record.error);
    StdUnit(handle, L"  \"numInputs\": " + std::to_wstring(2) + L",\n");
    StdUnit(handle, L"  \"numOutputs\":" + std::to_wstring(2) + L",\n");
    StdUnit(handle, L"  \"wantsMidi\":  false,\n");
    StdUnit(handle, L"  \"sendsMidi\": false,\n");
    StdUnit(handle, L"  \"platform\":  \"" SCAN_PLATFORM L"\",\n");
    StdUnit(handle, L"  \"audio64\":   false,\n");
    StdUnit(handle, L"  \"category\":  " + std::to_wstring(10) + L",\n");
    StdUnit(handle, L"  \"synthEdit\": false,\n");
    StdUnit(handle, L"  \"shells\": {\n");
    for (const auto& [id, name] : record.shells) {
        line = L"        \"";
        StdHex(static_cast<uint32_t>(id), line);
        line += L"\": \"";
        StdEscape(name, line);
        line += L"\",\n";
        StdUnit(handle, line);
    }
    StdUnit(handle, L"  },\n");
    StdUnit(handle, L"}\n");
}

// ---- the runs ------------------------------------------------------------------------------

using IdMap = Simple::CMap<int, bool, Simple::SValue, Simple::SValue, int>;

// Seconds for the duplicate check over every id; the sink keeps the work from being dropped.
double TimeSimpleMap(const std::vector<int32_t>& ids, int& sink) {
    double start = Now();
    IdMap seen;
    for (int32_t id : ids)
        if (!seen.Find(id)) seen.Set(id, true);
    sink += seen.GetCount();
    return Now() - start;  // destruction included, as for std::map
}

double TimeStdMap(const std::vector<int32_t>& ids, int& sink) {
    double start = Now();
    {
        std::map<int, bool> seen;
        for (int32_t id : ids)
            if (seen.find(id) == seen.end()) seen.emplace(id, true);
        sink += static_cast<int>(seen.size());
    }
    return Now() - start;
}

// Mean depth of the map's nodes (the root at 1): the comparisons a Find or Set makes.
double MeanDepth(const IdMap& map) {
    std::vector<std::pair<const IdMap::SNode*, int>> pending = {{map.GetRoot(), 1}};
    double total = 0;
    while (!pending.empty()) {
        auto [node, depth] = pending.back();
        pending.pop_back();
        if (node == map.GetSentinel()) continue;
        total += depth;
        pending.push_back({node->left, depth + 1});
        pending.push_back({node->right, depth + 1});
    }
    return map.GetCount() ? total / map.GetCount() : 0;
}

struct SResult {
    double simpleMap, stdMap, simpleWrite, stdWrite;  // seconds per entry, medians
    double depth;  // mean node depth of the map after the inserts
};

SResult Measure(int n, HANDLE sinkHandle) {
    std::vector<int32_t> ids = DistinctIds(n, 1000 + n);
    // Enough repetitions for a stable median without making the large sizes slow.
    int mapRuns = std::max(5, 2000000 / n);
    int writeRuns = std::max(3, 100000 / n);

    std::vector<double> simpleMap, stdMap;
    int sink = 0;
    for (int run = 0; run < mapRuns; ++run) {
        bool simpleFirst = run % 2 == 0;
        double a = simpleFirst ? TimeSimpleMap(ids, sink) : TimeStdMap(ids, sink);
        double b = simpleFirst ? TimeStdMap(ids, sink) : TimeSimpleMap(ids, sink);
        simpleMap.push_back((simpleFirst ? a : b) / n);
        stdMap.push_back((simpleFirst ? b : a) / n);
    }
    if (sink != 2 * mapRuns * n) fprintf(stderr, "map counts differ: %d\n", sink);

    CPluginInfo info;
    SStdRecord record;
    info.id = record.id;
    info.name.Assign(record.name.c_str());
    info.vendor.Assign(record.vendor.c_str());
    info.product.Assign(record.product.c_str());
    info.version.Assign(record.version.c_str());
    info.numInputs = info.numOutputs = 2;
    info.category = 10;
    for (int i = 0; i < n; ++i) {
        auto* shell = new CShellInfo;
        shell->id = ids[i];
        shell->name.Assign(NameOf(i).c_str());
        info.shells.Add(shell);
        record.shells.emplace_back(ids[i], NameOf(i));
    }

    std::vector<double> simpleWrite, stdWrite;
    HANDLE saved = outputHandle;
    outputHandle = sinkHandle;
    for (int run = 0; run < writeRuns; ++run) {
        for (int side = 0; side < 2; ++side) {
            bool simple = (run + side) % 2 == 0;
            double start = Now();
            if (simple)
                info.WriteJson();
            else
                StdWriteJson(sinkHandle, record);
            double perEntry = (Now() - start) / n;
            (simple ? simpleWrite : stdWrite).push_back(perEntry);
        }
    }
    outputHandle = saved;
    IdMap seen;
    for (int32_t id : ids) seen.Set(id, true);
    return {Median(simpleMap), Median(stdMap), Median(simpleWrite), Median(stdWrite), MeanDepth(seen)};
}

}  // namespace

int main(int argc, char** argv) {
    int largest = argc > 1 ? atoi(argv[1]) : 100000;
    HANDLE sinkHandle = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (sinkHandle == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "CreateFileW(NUL) failed: %lu\n", GetLastError());
        return 1;
    }

    printf("Shell record with n distinct sub-plug-ins; ns per entry (medians), ratio = ours / standard\n");
    printf("%8s | %10s %10s %7s | %10s %10s %7s | %s\n", "n", "CMap", "std::map", "ratio", "WriteJson", "wstring", "ratio",
           "CMap mean depth / log2 n");
    std::vector<std::pair<int, SResult>> results;
    for (int n = 1000; n <= largest; n *= 10) {
        SResult r = Measure(n, sinkHandle);
        results.emplace_back(n, r);
        printf("%8d | %10.1f %10.1f %7.2f | %10.1f %10.1f %7.2f | %.1f / %.1f\n", n, r.simpleMap * 1e9, r.stdMap * 1e9,
               r.simpleMap / r.stdMap, r.simpleWrite * 1e9, r.stdWrite * 1e9, r.simpleWrite / r.stdWrite, r.depth,
               std::log2(double(n)));
        fflush(stdout);
    }
    // n log n or better: the time per entry grows at most like log n.
    if (results.size() > 1) {
        const auto& [n0, first] = results.front();
        const auto& [n1, last] = results.back();
        printf("per-entry growth from %d to %d: CMap %.2f, std::map %.2f, WriteJson %.2f, wstring %.2f"
               " (log n grows %.2f)\n",
               n0, n1, last.simpleMap / first.simpleMap, last.stdMap / first.stdMap, last.simpleWrite / first.simpleWrite,
               last.stdWrite / first.stdWrite, std::log2(double(n1)) / std::log2(double(n0)));
    }
    CloseHandle(sinkHandle);
    return 0;
}
