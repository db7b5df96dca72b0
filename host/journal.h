// The scan journal: a file beside the database to which every step of a run is appended
// before the database itself is written at the end. If scanhost is ended mid-scan, the next
// run replays it: finished results are kept, and a plug-in that was in flight is marked
// "crashed" instead of being scanned again (it may well be what ended scanhost).
#pragma once

#include <mutex>
#include <string>

#include "host/database.h"
#include "tests/support/win_handle.h"

namespace ScanHost {

// The error text of an entry that was in flight when scanhost was ended.
extern const char* const kInterruptedError;

class Journal {
public:
    // Opens the file for appending (creating it); throws DatabaseError.
    explicit Journal(const std::wstring& file);
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // A module is scanned anew: its old entries and those of its sub-plug-ins go.
    void Replace(const std::string& path);
    // Written before a request: the entry that stands if no result follows.
    void InFlight(const Entry& entry);
    // A request's result.
    void Record(const Entry& entry);
    // A request abandoned on purpose (the user stopped the run): no entry.
    void Cancel(const std::string& key);

    // Applies a journal to the database. Returns how many in-flight plug-ins were marked.
    static size_t Replay(const std::wstring& file, Database& database);
    // Deletes the journal once the database holds everything.
    void Remove();

private:
    void Append(const nlohmann::ordered_json& line);

    std::wstring m_file;
    WinHandle m_handle;
    std::mutex m_mutex;
};

}  // namespace ScanHost
