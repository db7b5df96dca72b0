#include "bench/request_mix.h"

#include <windows.h>

namespace {

std::string Utf8(const std::wstring& text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], bytes, nullptr, nullptr);
    return result;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

}  // namespace

std::vector<SMixedRequest> MixedRequests(const std::wstring& pluginFolder) {
    // Enough entries for a leak per entry to show, few enough for a quick test.
    SetEnvironmentVariableW(L"BENCH_SHELL_SIZE", L"50");
    std::string folder = Utf8(pluginFolder) + "\\";
    return {
        {folder + "bench-effect.dll", false},             // loaded and freed, version resource read
        {folder + "bench-shell.dll", false},              // lists 50 sub-plug-ins; the module stays
        {folder + "bench-shell.dll>9E3779B1", false},     // its first sub-plug-in, on the kept module
        {folder + "bench-shell.dll>3C6EF362", false},     // its second
        {folder + "bench-shell.dll>DAA66D13", false},     // its third
        {folder + "missing.dll", true},                   // does not load
        {folder + "bench-no-entry.dll", true},
        {folder + "bench-bad-magic.dll", true},
        {folder + "bench-effect.dll>12345678", false},    // a plain plug-in that ignores the id
        {"", true},                                       // an empty request
    };
}

bool AnswerFits(const SMixedRequest& request, const std::string& answer) {
    bool failed = answer.find("\nerror:") != std::string::npos || answer.compare(0, 6, "error:") == 0;
    return failed == request.fails && Count(answer, "\n>:{\n") == 1 && Count(answer, "\n>:}\n") == 1;
}
