// scanhost: scans a plug-in collection through scan servers into a plug-in database.
#include <windows.h>

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "host/collection.h"
#include "host/database.h"
#include "host/journal.h"
#include "host/options.h"
#include "host/report.h"
#include "host/scanner.h"
#include "host/utf.h"

using namespace ScanHost;

namespace {

std::atomic<Scanner*> runningScanner{nullptr};

// Ctrl+C stops the run cleanly: the servers are ended, finished results saved, and the
// plug-ins in flight are scanned next time (they are not to blame).
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    if (Scanner* scanner = runningScanner.load()) scanner->Cancel();
    return TRUE;
}

std::wstring FullPath(const std::wstring& path) {
    DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) return path;
    std::wstring full(length, L'\0');
    full.resize(GetFullPathNameW(path.c_str(), length, full.data(), nullptr));
    return full;
}

std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

std::wstring ProgramFolder() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return FolderOf(path);
}

void Error(const std::string& text) { WriteText(GetStdHandle(STD_ERROR_HANDLE), "scanhost: " + text + "\n"); }

int Scan(const Options& options) {
    std::wstring databaseFile = FullPath(options.database);
    std::wstring journalFile = databaseFile + L".journal";
    ScanOptions scan;
    scan.serverFolder = options.serverFolder.empty() ? ProgramFolder() : FullPath(options.serverFolder);
    scan.dumpFolder = FullPath(options.dumpFolder.empty() ? FolderOf(databaseFile) + L"\\scanhost-dumps"
                                                          : options.dumpFolder);
    scan.jobs = options.jobs;
    scan.timeoutMs = options.timeoutMs;
    scan.rescan = options.rescan;
    scan.retry = options.retry;
    scan.maxRequestsPerServer = options.maxRequests;

    std::vector<std::wstring> modules;
    try {
        modules = FindPlugins(options.paths);
    } catch (const PathError& error) {
        Error(error.what());
        return kExitUsage;
    }
    std::set<std::wstring> scope;
    for (const std::wstring& module : modules) scope.insert(FoldPath(module));
    auto inScope = [&](const Entry& entry) { return scope.count(FoldPath(FromUtf8(entry.path))) != 0; };

    DatabaseLock lock(databaseFile);
    Database database = Database::Load(databaseFile);
    size_t interrupted = Journal::Replay(journalFile, database);
    Journal journal(journalFile);

    HANDLE errorHandle = GetStdHandle(STD_ERROR_HANDLE);
    ProgressLine progress(options.quiet ? nullptr : errorHandle);
    Scanner scanner(scan, database, journal, &progress);
    runningScanner = &scanner;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    ScanStats stats;
    try {
        stats = scanner.Run(modules);
    } catch (...) {
        runningScanner = nullptr;
        throw;
    }
    runningScanner = nullptr;
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    progress.Clear();

    database.Save(databaseFile);
    journal.Remove();

    HANDLE outputHandle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!options.quiet)
        WriteText(options.json ? errorHandle : outputHandle, FormatSummary(database, inScope, stats, interrupted));
    StatusCounts counts = CountStatuses(database, inScope);
    if (options.json) {
        nlohmann::ordered_json json = database.ToJson(inScope);
        json["run"] = {{"modules", stats.modules},
                       {"unchanged", stats.unchanged},
                       {"requests", stats.requests},
                       {"serversStarted", stats.serversStarted},
                       {"removed", stats.removed},
                       {"interrupted", interrupted},
                       {"cancelled", stats.cancelled},
                       {"seconds", stats.seconds}};
        nlohmann::ordered_json summary;
        for (size_t i = 0; i < counts.size(); ++i) summary[StatusName(static_cast<EStatus>(i))] = counts[i];
        json["summary"] = summary;
        WriteText(outputHandle, json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    }

    if (stats.cancelled) return kExitCancelled;
    bool problems = counts[static_cast<size_t>(EStatus::Failed)] + counts[static_cast<size_t>(EStatus::Crashed)] +
                        counts[static_cast<size_t>(EStatus::Timeout)] != 0;
    return problems ? kExitPluginProblems : kExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Scan servers inherit their two pipe ends and nothing else of ours.
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
    Options options;
    try {
        options = ParseOptions(std::vector<std::wstring>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        Error(std::string(error.what()) + "\nTry 'scanhost --help'.");
        return kExitUsage;
    }
    if (options.help) {
        WriteText(GetStdHandle(STD_OUTPUT_HANDLE), kHelpText);
        return kExitOk;
    }
    try {
        return Scan(options);
    } catch (const std::exception& error) {
        Error(error.what());
        return kExitError;
    }
}
