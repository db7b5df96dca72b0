// Scans a collection through scan servers: decides what needs scanning, runs parallel
// servers, lists shells and scans each sub-plug-in on the same server, survives crashes and
// hangs, and keeps the database and its journal up to date.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/database.h"
#include "host/journal.h"
#include "host/pe_machine.h"
#include "tests/support/win_handle.h"

namespace ScanHost {

struct ScanOptions {
    std::wstring serverFolder;  // holds ScanServer-x64.exe and ScanServer-x86.exe
    std::wstring dumpFolder;    // receives the crash dumps
    unsigned jobs = 0;          // parallel servers; 0: one per processor
    DWORD timeoutMs = 30000;    // per request; 0: no limit
    bool rescan = false;        // scan unchanged plug-ins too
    bool retry = false;         // scan again what crashed or timed out before
    unsigned maxRequestsPerServer = 0;  // a fresh server after this many modules; 0: no limit
};

struct ScanStats {
    size_t modules = 0;         // modules named by the paths
    size_t unchanged = 0;       // taken from the database without a server
    size_t requests = 0;        // requests that got a result
    size_t serversStarted = 0;
    size_t removed = 0;         // entries of files that are gone
    bool cancelled = false;
    double seconds = 0;
};

// Told about progress, from the worker threads (one call at a time).
class ScanObserver {
public:
    virtual ~ScanObserver() = default;
    virtual void Planned(size_t /*moreRequests*/) {}
    virtual void Started(const std::string& /*key*/) {}
    virtual void Finished(const Entry& /*entry*/) {}
};

// The server executable for an architecture: ScanServer-x64.exe or ScanServer-x86.exe.
std::wstring ServerExecutable(const std::wstring& serverFolder, EArch arch);

class Scanner {
public:
    // The journal receives every step before the database changes; the observer may be null.
    Scanner(ScanOptions options, Database& database, Journal& journal, ScanObserver* observer);
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    // Scans what needs it among the modules (full paths, as FindPlugins gives them), then
    // drops entries of files that are gone.
    ScanStats Run(const std::vector<std::wstring>& modules);

    // Stops the run from any thread: requests in flight are abandoned without an entry.
    void Cancel();

private:
    // One module to scan.
    struct Item {
        std::wstring path;
        std::string pathUtf8;
        FileStamp stamp;
        EArch arch = EArch::None;
        bool fillGaps = false;  // listed again only to scan sub-plug-ins without a result
    };
    class Worker;

    bool NextItem(EArch preferred, Item& item);
    void Put(Entry entry);
    void Plan(const std::wstring& module);

    ScanOptions m_options;
    Database& m_database;
    Journal& m_journal;
    ScanObserver* m_observer;
    WinHandle m_cancelEvent;
    WinHandle m_job;  // ends every server when scanhost ends, however it ends
    std::atomic<bool> m_cancelled{false};

    std::mutex m_mutex;  // guards everything below and the database
    std::vector<Item> m_queue;
    ScanStats m_stats;
};

}  // namespace ScanHost
