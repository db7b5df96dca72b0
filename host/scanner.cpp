#include "host/scanner.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <thread>

#include "host/server_process.h"
#include "host/utf.h"

namespace ScanHost {

namespace {

constexpr DWORD kCloseGraceMs = 5000;
// How long a server that has begun writing a crash dump gets to finish it. Writing a dump
// can take far longer than a plug-in's timeout (seconds under Wine), and ending the server
// then would lose the dump and report the crash as a hang.
constexpr DWORD kDumpGraceMs = 120000;

// Lines the server writes once it starts on the requested module itself; before them a
// crash or hang belongs to what the server was still doing (freeing the previous module, or
// a thread a previous plug-in left behind), not to this plug-in.
bool ReachedModule(const std::vector<Unit>& units) {
    for (const Unit& unit : units)
        if (unit.level == "info" &&
            (unit.text == "Loading library..." || unit.text == "Re-using previous library instance..."))
            return true;
    return false;
}

std::string WithLastLine(std::string text, const std::vector<Unit>& units) {
    std::string last = LastLogText(units);
    if (!last.empty()) text += "; last line: " + last;
    return text;
}

std::string Seconds(DWORD ms) {
    char text[32];
    snprintf(text, sizeof text, "%g s", ms / 1000.0);
    return text;
}

bool IsRetryable(EStatus status) { return status == EStatus::Crashed || status == EStatus::Timeout; }

}  // namespace

std::wstring ServerExecutable(const std::wstring& serverFolder, EArch arch) {
    std::wstring folder = serverFolder;
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    return folder + L"ScanServer-" + FromUtf8(ArchName(arch)) + L".exe";
}

// One thread with at most one server at a time.
class Scanner::Worker {
public:
    Worker(Scanner& scanner, unsigned number) : m_scanner(scanner) {
        // A dump folder of its own, so that the newest dump in it is this worker's.
        wchar_t name[64];
        swprintf(name, 64, L"\\incoming-%lu-%u", GetCurrentProcessId(), number);
        m_staging = m_scanner.m_options.dumpFolder + name;
        CreateDirectoryW(m_scanner.m_options.dumpFolder.c_str(), nullptr);
        CreateDirectoryW(m_staging.c_str(), nullptr);
    }

    ~Worker() {
        if (m_server) m_server->Close(kCloseGraceMs);
        m_server.reset();
        RemoveDirectoryW(m_staging.c_str());  // only when empty
    }

    void Run() {
        Item item;
        while (!m_scanner.m_cancelled && m_scanner.NextItem(m_arch, item)) ScanModule(item);
    }

private:
    void ScanModule(const Item& item) {
        // A new module may go to a fresh server (arch, request limit); a shell's sub-plug-ins
        // stay on the server that listed them unless it dies.
        unsigned limit = m_scanner.m_options.maxRequestsPerServer;
        if (m_server && (m_arch != item.arch || (limit && m_modulesServed >= limit))) {
            m_server->Close(kCloseGraceMs);
            m_server.reset();
        }
        if (!item.fillGaps) {
            std::lock_guard<std::mutex> lock(m_scanner.m_mutex);
            m_scanner.m_journal.Replace(item.pathUtf8);
            m_scanner.m_database.RemoveModule(item.pathUtf8);
        }
        Entry module = Placeholder(item, false, 0, "");
        if (!Scan(item, item.pathUtf8, module)) return;
        ++m_modulesServed;
        if (module.status != EStatus::Ok || module.record.category != kCategoryShell) return;

        std::vector<ShellEntry> wanted;
        {
            std::lock_guard<std::mutex> lock(m_scanner.m_mutex);
            for (const ShellEntry& shell : module.record.shells) {
                const Entry* existing =
                    m_scanner.m_database.Find(item.pathUtf8 + ">" + FormatId(shell.id));
                bool gap = !existing || existing->stamp != item.stamp ||
                           (m_scanner.m_options.retry && IsRetryable(existing->status));
                if (!item.fillGaps || gap) wanted.push_back(shell);
            }
            if (m_scanner.m_observer) m_scanner.m_observer->Planned(wanted.size());
        }
        for (const ShellEntry& shell : wanted) {
            if (m_scanner.m_cancelled) return;
            Entry sub = Placeholder(item, true, shell.id, shell.name);
            if (!Scan(item, item.pathUtf8 + ">" + FormatId(shell.id), sub)) return;
        }
    }

    // The entry that stands when no result comes: it is written to the journal first.
    Entry Placeholder(const Item& item, bool isSub, uint32_t shellId, const std::string& shellName) {
        Entry entry;
        entry.path = item.pathUtf8;
        entry.isSubPlugin = isSub;
        entry.shellId = shellId;
        entry.stamp = item.stamp;
        entry.status = EStatus::Crashed;
        entry.error = kInterruptedError;
        entry.scanTime = NowUtc();
        entry.record.platform = ArchName(item.arch);
        if (isSub) {
            // What the shell's listing said about it, until its own record arrives.
            entry.record.id = shellId;
            entry.record.name = shellName;
        }
        return entry;
    }

    // Sends one request and records its result in entry. False when the run was cancelled.
    bool Scan(const Item& item, const std::string& line, Entry& entry) {
        {
            std::lock_guard<std::mutex> lock(m_scanner.m_mutex);
            m_scanner.m_journal.InFlight(entry);
            if (m_scanner.m_observer) m_scanner.m_observer->Started(entry.Key());
        }
        ULONGLONG started = GetTickCount64();
        DWORD timeout = m_scanner.m_options.timeoutMs;
        // A crash or hang before the server reached this module is not this plug-in's: one
        // more try on a fresh server.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!EnsureServer(item.arch, entry)) break;
            ServerReply reply = m_server->Request(line, timeout, m_scanner.m_cancelEvent.get());
            if (reply.end == EServerEnd::TimedOut && !NewestDump().empty())
                reply = m_server->WaitLonger(kDumpGraceMs, m_scanner.m_cancelEvent.get());
            if (reply.end == EServerEnd::Cancelled) {
                m_server->Terminate();
                m_server.reset();
                std::lock_guard<std::mutex> lock(m_scanner.m_mutex);
                m_scanner.m_journal.Cancel(entry.Key());
                return false;
            }
            if (reply.end == EServerEnd::Prompt) {
                ReadReply(item, reply, entry);
                break;
            }
            bool blameless = !ReachedModule(reply.units) && attempt == 0;
            if (reply.end == EServerEnd::TimedOut) {
                m_server->Terminate();
                m_server.reset();
                if (blameless) continue;
                entry.status = EStatus::Timeout;
                entry.error = WithLastLine("no result within " + Seconds(timeout) + "; the scan server was ended",
                                           reply.units);
                break;
            }
            // The process ended during the request.
            m_server.reset();
            if (blameless) continue;
            entry.status = EStatus::Crashed;
            char text[96];
            snprintf(text, sizeof text, reply.exitCode == 9 ? "the scan server crashed (exit code 9)"
                                                             : "the scan server ended with exit code 0x%lX",
                     reply.exitCode);
            entry.error = WithLastLine(text, reply.units);
            entry.dump = ClaimDump();
            break;
        }
        entry.scanSeconds = (GetTickCount64() - started) / 1000.0;
        entry.scanTime = NowUtc();
        m_scanner.Put(entry);
        return true;
    }

    void ReadReply(const Item& item, const ServerReply& reply, Entry& entry) {
        std::vector<ShellEntry> listed = entry.record.shells;
        try {
            Answer answer = ReadAnswer(reply.units);
            if (answer.record.platform != ArchName(item.arch))
                throw ProtocolError("the " + std::string(ArchName(item.arch)) + " server reported the platform \"" +
                                    answer.record.platform + "\"");
            entry.record = std::move(answer.record);
            entry.status = answer.failed ? EStatus::Failed : EStatus::Ok;
            entry.error = answer.failed ? answer.errorText : std::string();
        } catch (const ProtocolError& error) {
            // The server's state is unknown now: it is not asked again.
            m_server->Terminate();
            m_server.reset();
            entry.status = EStatus::Failed;
            entry.error = std::string("protocol error: ") + error.what();
        }
    }

    // Starts a server when there is none; on failure fills entry and returns false.
    bool EnsureServer(EArch arch, Entry& entry) {
        if (m_server && m_server->running()) return true;
        m_server.reset();
        m_arch = arch;
        m_modulesServed = 0;
        ServerConfig config;
        config.executable = ServerExecutable(m_scanner.m_options.serverFolder, arch);
        config.dumpFolder = m_staging;
        config.job = m_scanner.m_job.get();
        auto server = std::make_unique<ScanServerProcess>(config);
        {
            std::lock_guard<std::mutex> lock(m_scanner.m_mutex);
            ++m_scanner.m_stats.serversStarted;
        }
        std::string problem;
        try {
            ServerReply reply = server->Start(m_scanner.m_options.timeoutMs, m_scanner.m_cancelEvent.get());
            if (reply.end == EServerEnd::Prompt) {
                m_server = std::move(server);
                return true;
            }
            if (reply.end == EServerEnd::Exited) {
                char text[64];
                snprintf(text, sizeof text, " (it ended with exit code 0x%lX)", reply.exitCode);
                problem = WithLastLine("the scan server did not start" + std::string(text), reply.units);
            } else if (reply.end == EServerEnd::TimedOut) {
                problem = "the scan server did not prompt within " + Seconds(m_scanner.m_options.timeoutMs);
            } else {
                problem = "cancelled";
            }
        } catch (const ServerStartError& error) {
            problem = error.what();
        }
        entry.status = EStatus::Failed;
        entry.error = problem;
        return false;
    }

    // The name of the newest dump in this worker's own dump folder that no request has
    // claimed yet: one that the current server wrote, or is writing.
    std::wstring NewestDump() const {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((m_staging + L"\\ScanServer-*.mdmp").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return {};
        std::wstring newest;
        ULONGLONG newestTime = 0;
        do {
            ULONGLONG time = ULONGLONG{data.ftLastWriteTime.dwHighDateTime} << 32 | data.ftLastWriteTime.dwLowDateTime;
            if (m_claimed.count(data.cFileName) == 0 && (newest.empty() || time >= newestTime)) {
                newest = data.cFileName;
                newestTime = time;
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
        return newest;
    }

    // Moves the newest dump out of the worker's dump folder into the shared one, under a name
    // no other dump has; returns its path (empty when the server wrote none).
    std::string ClaimDump() {
        std::wstring newest = NewestDump();
        if (newest.empty()) return {};

        std::wstring source = m_staging + L"\\" + newest;
        std::wstring stem = newest.substr(0, newest.size() - 5);  // without ".mdmp"
        // Two crashes in the same second get the same name from the servers.
        for (int n = 1; n < 1000; ++n) {
            std::wstring target = m_scanner.m_options.dumpFolder + L"\\" + stem +
                                  (n == 1 ? L"" : L"-" + std::to_wstring(n)) + L".mdmp";
            if (MoveFileExW(source.c_str(), target.c_str(), 0)) return ToUtf8(target);
            if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) break;
        }
        m_claimed.insert(newest);  // left where it is, but not taken twice
        return ToUtf8(source);
    }

    Scanner& m_scanner;
    std::wstring m_staging;
    std::set<std::wstring> m_claimed;
    std::unique_ptr<ScanServerProcess> m_server;
    EArch m_arch = EArch::None;
    unsigned m_modulesServed = 0;
};

Scanner::Scanner(ScanOptions options, Database& database, Journal& journal, ScanObserver* observer)
    : m_options(std::move(options)), m_database(database), m_journal(journal), m_observer(observer),
      m_cancelEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_job(CreateJobObjectW(nullptr, nullptr)) {
    if (m_job.valid()) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(m_job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
            m_job.reset();
    }
}

void Scanner::Cancel() {
    m_cancelled = true;
    SetEvent(m_cancelEvent.get());
}

void Scanner::Put(Entry entry) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_journal.Record(entry);
    ++m_stats.requests;
    if (m_observer) m_observer->Finished(entry);
    m_database.Put(std::move(entry));
}

bool Scanner::NextItem(EArch preferred, Item& item) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.empty()) return false;
    // Items are queued in reverse; the same architecture as the worker's server comes first.
    auto it = std::find_if(m_queue.rbegin(), m_queue.rend(), [&](const Item& i) { return i.arch == preferred; });
    auto at = it == m_queue.rend() ? m_queue.end() - 1 : std::next(it).base();
    item = std::move(*at);
    m_queue.erase(at);
    return true;
}

void Scanner::Plan(const std::wstring& module) {
    Item item;
    item.path = module;
    item.pathUtf8 = ToUtf8(module);
    if (!ReadFileStamp(module, item.stamp)) return;  // gone since it was found
    const Entry* existing = m_database.FindModule(item.pathUtf8);
    if (existing && !m_options.rescan && existing->stamp == item.stamp) {
        bool again = existing->status == EStatus::Skipped || (m_options.retry && IsRetryable(existing->status));
        if (!again && existing->status == EStatus::Ok && existing->record.category == kCategoryShell) {
            // A shell whose sub-plug-ins were not all scanned (the run was ended in between).
            for (const ShellEntry& shell : existing->record.shells) {
                const Entry* sub = m_database.Find(item.pathUtf8 + ">" + FormatId(shell.id));
                item.fillGaps = item.fillGaps || !sub || sub->stamp != item.stamp ||
                                (m_options.retry && IsRetryable(sub->status));
            }
            again = item.fillGaps;
        }
        if (!again) {
            ++m_stats.unchanged;
            return;
        }
    }

    PeMachine machine = ReadPeMachine(module);
    std::string reason = machine.reason;
    if (machine.arch != EArch::None) {
        std::wstring server = ServerExecutable(m_options.serverFolder, machine.arch);
        if (GetFileAttributesW(server.c_str()) == INVALID_FILE_ATTRIBUTES)
            reason = std::string("no ") + ArchName(machine.arch) + " scan server (" + ToUtf8(server) + " not found)";
    }
    if (!reason.empty()) {
        if (existing && existing->stamp == item.stamp && existing->status == EStatus::Skipped &&
            existing->error == reason && !m_options.rescan) {
            ++m_stats.unchanged;
            return;
        }
        Entry entry;
        entry.path = item.pathUtf8;
        entry.stamp = item.stamp;
        entry.status = EStatus::Skipped;
        entry.error = reason;
        entry.scanTime = NowUtc();
        m_journal.Replace(entry.path);
        m_database.RemoveModule(entry.path);
        m_journal.Record(entry);
        if (m_observer) {
            m_observer->Planned(1);
            m_observer->Finished(entry);
        }
        m_database.Put(std::move(entry));
        return;
    }
    item.arch = machine.arch;
    m_queue.push_back(std::move(item));
}

ScanStats Scanner::Run(const std::vector<std::wstring>& modules) {
    ULONGLONG started = GetTickCount64();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stats.modules = modules.size();
        for (const std::wstring& module : modules) Plan(module);
        std::reverse(m_queue.begin(), m_queue.end());  // taken from the back
        if (m_observer) m_observer->Planned(m_queue.size());
    }

    unsigned jobs = m_options.jobs ? m_options.jobs : std::max(1u, std::thread::hardware_concurrency());
    jobs = static_cast<unsigned>(std::min<size_t>(jobs, m_queue.size()));
    std::vector<std::thread> threads;
    std::exception_ptr failure;
    std::mutex failureMutex;
    for (unsigned n = 0; n < jobs; ++n) {
        threads.emplace_back([this, n, &failure, &failureMutex] {
            try {
                Worker(*this, n + 1).Run();
            } catch (...) {
                // A journal that cannot be written stops the run: results could be lost.
                std::lock_guard<std::mutex> lock(failureMutex);
                if (!failure) failure = std::current_exception();
                Cancel();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    if (failure) std::rethrow_exception(failure);

    std::lock_guard<std::mutex> lock(m_mutex);
    m_stats.cancelled = m_cancelled;
    if (!m_cancelled) m_stats.removed = m_database.RemoveMissingFiles();
    m_stats.seconds = (GetTickCount64() - started) / 1000.0;
    return m_stats;
}

}  // namespace ScanHost
