// The plug-in database: one entry per plug-in module and per sub-plug-in of a shell, keyed
// by path ("path>ID" for a sub-plug-in), stored as strict JSON in UTF-8.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/collection.h"
#include "host/record_reader.h"
#include "tests/support/win_handle.h"

namespace ScanHost {

class DatabaseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class EStatus {
    Ok,       // the server answered with a record without error
    Failed,   // the server answered with an error, or broke the protocol
    Crashed,  // the server ended during the request (or scanhost itself did)
    Timeout,  // no answer in time; the server was ended
    Skipped,  // no server can load it (machine type, missing server, unreadable file)
};

const char* StatusName(EStatus status);
bool ParseStatus(const std::string& name, EStatus& status);

struct Entry {
    std::string path;  // the module's full path (UTF-8)
    bool isSubPlugin = false;
    uint32_t shellId = 0;  // the sub-plug-in's id within its shell, when isSubPlugin
    FileStamp stamp;       // of the module file when it was scanned
    EStatus status = EStatus::Skipped;
    std::string error;     // the server's error text, or why it crashed, hung or was skipped
    std::string dump;      // the crash dump's path, when the server wrote one
    std::string scanTime;  // UTC, ISO 8601
    double scanSeconds = 0;
    ScanRecord record;     // the server's answer; initial values when there was none

    // "path" or "path>ID".
    std::string Key() const;
};

class Database {
public:
    // A missing file gives an empty database; an unreadable or malformed one throws.
    static Database Load(const std::wstring& file);
    // Writes a temporary file beside it and moves it into place, so a reader never sees
    // half a database.
    void Save(const std::wstring& file) const;

    nlohmann::ordered_json ToJson(const std::function<bool(const Entry&)>& include = {}) const;
    static Database FromJson(const nlohmann::ordered_json& json);

    const Entry* Find(const std::string& key) const;
    const Entry* FindModule(const std::string& path) const { return Find(path); }
    // Adds or replaces the entry with the same key.
    void Put(Entry entry);
    // Removes a module's entry and those of its sub-plug-ins.
    void RemoveModule(const std::string& path);
    std::vector<const Entry*> SubPlugins(const std::string& path) const;
    // Removes entries whose module file no longer exists.
    size_t RemoveMissingFiles();

    size_t size() const { return m_entries.size(); }
    template <typename F>
    void ForEach(F&& visit) const {
        for (const auto& item : m_entries) visit(item.second);
    }

private:
    std::map<std::wstring, Entry> m_entries;  // by folded key
};

nlohmann::ordered_json EntryToJson(const Entry& entry);
// Throws DatabaseError naming the member at fault.
Entry EntryFromJson(const nlohmann::ordered_json& json);

// FILETIME ticks <-> "2024-03-07T14:05:09.1234567Z" (exact both ways).
std::string FormatFileTime(uint64_t ticks);
bool ParseFileTime(const std::string& text, uint64_t& ticks);
// The current time as "2024-03-07T14:05:09Z".
std::string NowUtc();

// Held for the whole run: a second scanhost on the same database fails instead of mixing
// its results in.
class DatabaseLock {
public:
    explicit DatabaseLock(const std::wstring& databaseFile);  // throws DatabaseError
    DatabaseLock(const DatabaseLock&) = delete;
    DatabaseLock& operator=(const DatabaseLock&) = delete;

private:
    WinHandle m_file;
};

}  // namespace ScanHost
