// scanhost's command line.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace ScanHost {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Exit codes of scanhost.
enum EExitCode {
    kExitOk = 0,               // every plug-in under the paths scanned fine (or was skipped)
    kExitPluginProblems = 1,   // some plug-in failed, crashed or timed out
    kExitUsage = 2,            // bad command line, or a PATH that does not exist
    kExitError = 3,            // the database cannot be read, written or locked; no scan was done
    kExitCancelled = 4,        // stopped with Ctrl+C; finished results were saved
};

struct Options {
    std::vector<std::wstring> paths;
    std::wstring database = L"scanhost-db.json";
    std::wstring serverFolder;  // empty: the folder of scanhost.exe
    std::wstring dumpFolder;    // empty: "scanhost-dumps" beside the database
    unsigned jobs = 0;          // 0: one per processor
    DWORD timeoutMs = 30000;    // 0: no limit
    unsigned maxRequests = 0;   // 0: no limit
    bool rescan = false;
    bool retry = false;
    bool json = false;
    bool quiet = false;
    bool help = false;
};

// The arguments after the program name. Throws UsageError.
Options ParseOptions(const std::vector<std::wstring>& arguments);

extern const char* const kHelpText;

}  // namespace ScanHost
