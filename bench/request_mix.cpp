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
        {folder + "sample-effect.dll", false},
        {folder + "sample-shell.dll", false},           // lists two sub-plug-ins; the module stays
        {folder + "sample-shell.dll>53614331", false},  // re-uses the kept module
        {folder + "sample-shell.dll>53614332", false},
        {folder + "missing.dll", true},                 // does not load
        {folder + "sample-synth.dll", false},
        {folder + "entry-none.dll", true},
        {folder + "entry-returns-null.dll", true},
        {folder + "bad-magic.dll", true},
        {folder + "bench-shell.dll", false},
        {folder + "bench-shell.dll>9E3779B1", false},  // its first sub-plug-in
    };
}

bool AnswerFits(const SMixedRequest& request, const std::string& answer) {
    bool failed = answer.find("\nerror:") != std::string::npos || answer.compare(0, 6, "error:") == 0;
    return failed == request.fails && Count(answer, "\n>:{\n") == 1 && Count(answer, "\n>:}\n") == 1;
}
