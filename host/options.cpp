#include "host/options.h"

#include <cerrno>
#include <cmath>
#include <cwchar>

#include "host/utf.h"

namespace ScanHost {

const char* const kHelpText =
    "Usage: scanhost [options] PATH...\n"
    "\n"
    "Scans VST 2.x plug-ins through scan servers and keeps a plug-in database. Each PATH is a\n"
    "plug-in DLL or a folder searched recursively for .dll files. Plug-ins whose size and\n"
    "last-write time did not change since the last run are not scanned again.\n"
    "\n"
    "Options:\n"
    "  --db FILE          the database (default: scanhost-db.json in the current folder)\n"
    "  -j, --jobs N       scan servers running in parallel (default: one per processor)\n"
    "  --timeout SECONDS  time a plug-in gets before its server is ended and it is marked\n"
    "                     \"timeout\" (default: 30; 0: no limit)\n"
    "  --rescan           scan every plug-in again, changed or not\n"
    "  --retry            scan again the plug-ins that crashed or timed out before, and the one\n"
    "                     being scanned when scanhost was last ended\n"
    "  --servers DIR      the folder with ScanServer-x64.exe and ScanServer-x86.exe (default:\n"
    "                     the folder of scanhost.exe)\n"
    "  --dumps DIR        where crash dumps go (default: scanhost-dumps beside the database)\n"
    "  --max-requests N   give each scan server at most N plug-ins, then start a fresh one\n"
    "                     (default: no limit; 1 starts one server per plug-in)\n"
    "  --json             write the results for PATH as JSON to standard output\n"
    "  -q, --quiet        no progress line and no summary\n"
    "  -h, --help         this text\n"
    "\n"
    "Statuses: ok, failed (the plug-in refused the scan), crashed (with the dump's path),\n"
    "timeout, skipped (no server can load it, for example an ARM64 module).\n"
    "\n"
    "Exit codes: 0 every plug-in ok or skipped; 1 some plug-in failed, crashed or timed out;\n"
    "2 bad command line or missing PATH; 3 database error (unreadable, in use by another\n"
    "scanhost, not writable); 4 stopped with Ctrl+C (finished results are kept).\n";

namespace {

unsigned ParseCount(const std::wstring& option, const std::wstring& value) {
    wchar_t* end = nullptr;
    errno = 0;
    unsigned long number = wcstoul(value.c_str(), &end, 10);
    if (value.empty() || *end || errno || value[0] == L'-' || number > 4096)
        throw UsageError(ToUtf8(option) + " needs a whole number up to 4096, not \"" + ToUtf8(value) + "\"");
    return static_cast<unsigned>(number);
}

DWORD ParseSeconds(const std::wstring& option, const std::wstring& value) {
    wchar_t* end = nullptr;
    errno = 0;
    double seconds = wcstod(value.c_str(), &end);
    if (value.empty() || *end || errno || !std::isfinite(seconds) || seconds < 0 || seconds > 86400)
        throw UsageError(ToUtf8(option) + " needs seconds from 0 to 86400, not \"" + ToUtf8(value) + "\"");
    DWORD ms = static_cast<DWORD>(std::lround(seconds * 1000));
    return seconds > 0 && ms == 0 ? 1 : ms;
}

}  // namespace

Options ParseOptions(const std::vector<std::wstring>& arguments) {
    Options options;
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::wstring argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != L'-') {
            options.paths.push_back(argument);
            continue;
        }
        if (argument == L"--") {
            optionsEnded = true;
            continue;
        }
        std::wstring value;
        bool hasValue = false;
        size_t equals = argument.find(L'=');
        if (argument.compare(0, 2, L"--") == 0 && equals != std::wstring::npos) {
            value = argument.substr(equals + 1);
            argument.resize(equals);
            hasValue = true;
        }
        auto takeValue = [&]() -> std::wstring {
            if (hasValue) return value;
            if (i + 1 >= arguments.size()) throw UsageError(ToUtf8(argument) + " needs a value");
            return arguments[++i];
        };
        auto flag = [&](bool& target) {
            if (hasValue) throw UsageError(ToUtf8(argument) + " takes no value");
            target = true;
        };
        if (argument == L"--db") options.database = takeValue();
        else if (argument == L"-j" || argument == L"--jobs") {
            options.jobs = ParseCount(argument, takeValue());
            if (options.jobs == 0) throw UsageError(ToUtf8(argument) + " needs at least 1");
        } else if (argument == L"--timeout") options.timeoutMs = ParseSeconds(argument, takeValue());
        else if (argument == L"--rescan") flag(options.rescan);
        else if (argument == L"--retry") flag(options.retry);
        else if (argument == L"--servers") options.serverFolder = takeValue();
        else if (argument == L"--dumps") options.dumpFolder = takeValue();
        else if (argument == L"--max-requests") options.maxRequests = ParseCount(argument, takeValue());
        else if (argument == L"--json") flag(options.json);
        else if (argument == L"-q" || argument == L"--quiet") flag(options.quiet);
        else if (argument == L"-h" || argument == L"--help") flag(options.help);
        else throw UsageError("unknown option " + ToUtf8(argument));
    }
    if (!options.help && options.paths.empty()) throw UsageError("no PATH given");
    if (options.database.empty()) throw UsageError("--db needs a file name");
    return options;
}

}  // namespace ScanHost
