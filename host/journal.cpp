#include "host/journal.h"

#include <windows.h>

#include <fstream>
#include <map>

#include "host/utf.h"

namespace ScanHost {

using Json = nlohmann::ordered_json;

const char* const kInterruptedError =
    "scanhost ended while this plug-in was being scanned; it is not scanned again unless --retry is given";

Journal::Journal(const std::wstring& file) : m_file(file) {
    m_handle.reset(CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_handle.valid())
        throw DatabaseError("cannot open the journal " + ToUtf8(file) + " (error " + std::to_string(GetLastError()) + ")");
}

// One line per step, in one write: a reader finds whole lines, and at worst a torn last one.
void Journal::Append(const Json& line) {
    std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    DWORD written = 0;
    if (!WriteFile(m_handle.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size())
        throw DatabaseError("cannot write the journal " + ToUtf8(m_file) + " (error " + std::to_string(GetLastError()) + ")");
}

void Journal::Replace(const std::string& path) { Append(Json{{"replace", path}}); }

void Journal::InFlight(const Entry& entry) { Append(Json{{"inFlight", EntryToJson(entry)}}); }

void Journal::Record(const Entry& entry) { Append(Json{{"entry", EntryToJson(entry)}}); }

void Journal::Cancel(const std::string& key) { Append(Json{{"cancel", key}}); }

void Journal::Remove() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handle.reset();
    DeleteFileW(m_file.c_str());
}

size_t Journal::Replay(const std::wstring& file, Database& database) {
    std::ifstream in(file.c_str(), std::ios::binary);
    if (!in) return 0;
    std::map<std::wstring, Entry> inFlight;  // by folded key
    auto keyOf = [](const Entry& entry) { return FoldPath(FromUtf8(entry.Key())); };
    std::string line;
    while (std::getline(in, line)) {
        Json step = Json::parse(line, nullptr, false);
        // A line torn by the end of the process that wrote it is skipped.
        if (step.is_discarded() || !step.is_object() || step.size() != 1) continue;
        try {
            if (step.contains("replace") && step["replace"].is_string()) {
                database.RemoveModule(step["replace"].get<std::string>());
            } else if (step.contains("inFlight")) {
                Entry entry = EntryFromJson(step["inFlight"]);
                inFlight[keyOf(entry)] = std::move(entry);
            } else if (step.contains("entry")) {
                Entry entry = EntryFromJson(step["entry"]);
                inFlight.erase(keyOf(entry));
                database.Put(std::move(entry));
            } else if (step.contains("cancel") && step["cancel"].is_string()) {
                inFlight.erase(FoldPath(FromUtf8(step["cancel"].get<std::string>())));
            }
        } catch (const DatabaseError&) {
            continue;  // a malformed step is skipped like a torn one
        }
    }
    for (auto& item : inFlight) database.Put(std::move(item.second));
    return inFlight.size();
}

}  // namespace ScanHost
