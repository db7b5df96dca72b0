#include "host/database.h"

#include <windows.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "host/utf.h"

namespace ScanHost {

using Json = nlohmann::ordered_json;

namespace {

constexpr int kFormat = 1;
constexpr uint64_t kTicksPerSecond = 10'000'000;

const char* const kStatusNames[] = {"ok", "failed", "crashed", "timeout", "skipped"};

std::wstring FoldedKey(const std::string& path, bool isSubPlugin, uint32_t shellId) {
    std::wstring key = FoldPath(FromUtf8(path));
    if (isSubPlugin) key += L">" + FromUtf8(FormatId(shellId));
    return key;
}

// Splits "path>ID" into its parts; a key without '>' names a module.
std::wstring FoldedKey(const std::string& key) {
    size_t at = key.find('>');
    uint32_t id = 0;
    if (at != std::string::npos && ParseId(key.substr(at + 1), id)) return FoldedKey(key.substr(0, at), true, id);
    return FoldedKey(key, false, 0);
}

[[noreturn]] void Malformed(const std::string& where, const std::string& what) {
    throw DatabaseError("database entry " + where + ": " + what);
}

const Json& Member(const Json& object, const std::string& where, const char* name, Json::value_t type) {
    auto it = object.find(name);
    if (it == object.end()) Malformed(where, std::string("member \"") + name + "\" is missing");
    bool matches = it->type() == type ||
                   (type == Json::value_t::number_integer && it->type() == Json::value_t::number_unsigned) ||
                   (type == Json::value_t::number_float && it->is_number());
    if (!matches) Malformed(where, std::string("member \"") + name + "\" has the wrong type");
    return *it;
}

std::string Text(const Json& object, const std::string& where, const char* name) {
    return Member(object, where, name, Json::value_t::string).get<std::string>();
}

bool Flag(const Json& object, const std::string& where, const char* name) {
    return Member(object, where, name, Json::value_t::boolean).get<bool>();
}

int32_t Int32(const Json& object, const std::string& where, const char* name) {
    const Json& value = Member(object, where, name, Json::value_t::number_integer);
    int64_t number = value.get<int64_t>();
    if (number < INT32_MIN || number > INT32_MAX) Malformed(where, std::string("member \"") + name + "\" is out of range");
    return static_cast<int32_t>(number);
}

uint32_t Id(const Json& object, const std::string& where, const char* name) {
    uint32_t id = 0;
    if (!ParseId(Text(object, where, name), id))
        Malformed(where, std::string("member \"") + name + "\" is not eight hexadecimal digits");
    return id;
}

}  // namespace

const char* StatusName(EStatus status) { return kStatusNames[static_cast<int>(status)]; }

bool ParseStatus(const std::string& name, EStatus& status) {
    for (int i = 0; i < 5; ++i) {
        if (name == kStatusNames[i]) {
            status = static_cast<EStatus>(i);
            return true;
        }
    }
    return false;
}

std::string Entry::Key() const { return isSubPlugin ? path + ">" + FormatId(shellId) : path; }

std::string FormatFileTime(uint64_t ticks) {
    FILETIME whole;
    uint64_t seconds = ticks - ticks % kTicksPerSecond;
    whole.dwLowDateTime = static_cast<DWORD>(seconds);
    whole.dwHighDateTime = static_cast<DWORD>(seconds >> 32);
    SYSTEMTIME time;
    if (!FileTimeToSystemTime(&whole, &time)) return "invalid";
    char text[48];
    snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%07" PRIu64 "Z", time.wYear, time.wMonth, time.wDay,
             time.wHour, time.wMinute, time.wSecond, ticks % kTicksPerSecond);
    return text;
}

bool ParseFileTime(const std::string& text, uint64_t& ticks) {
    unsigned year, month, day, hour, minute, second;
    char fraction[8] = {};
    int used = 0;
    if (text.size() != 28 ||
        sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u.%7[0-9]Z%n", &year, &month, &day, &hour, &minute, &second,
               fraction, &used) != 7 ||
        used != 28 || strlen(fraction) != 7)
        return false;
    SYSTEMTIME time = {};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    time.wSecond = static_cast<WORD>(second);
    FILETIME whole;
    if (!SystemTimeToFileTime(&time, &whole)) return false;
    ticks = (uint64_t{whole.dwHighDateTime} << 32 | whole.dwLowDateTime) + strtoull(fraction, nullptr, 10);
    return true;
}

std::string NowUtc() {
    SYSTEMTIME time;
    GetSystemTime(&time);
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", time.wYear, time.wMonth, time.wDay, time.wHour,
             time.wMinute, time.wSecond);
    return text;
}

Json EntryToJson(const Entry& entry) {
    const ScanRecord& r = entry.record;
    Json json;
    json["path"] = entry.path;
    if (entry.isSubPlugin) json["shellId"] = FormatId(entry.shellId);
    json["size"] = entry.stamp.size;
    json["lastWrite"] = FormatFileTime(entry.stamp.lastWrite);
    json["status"] = StatusName(entry.status);
    json["error"] = entry.error;
    json["dump"] = entry.dump;
    json["scanTime"] = entry.scanTime;
    json["scanSeconds"] = entry.scanSeconds;
    json["id"] = FormatId(r.id);
    json["name"] = r.name;
    json["vendor"] = r.vendor;
    json["product"] = r.product;
    json["version"] = r.version;
    json["numInputs"] = r.numInputs;
    json["numOutputs"] = r.numOutputs;
    json["wantsMidi"] = r.wantsMidi;
    json["sendsMidi"] = r.sendsMidi;
    json["platform"] = r.platform;
    json["audio64"] = r.audio64;
    json["category"] = r.category;
    json["synthEdit"] = r.synthEdit;
    if (r.category == kCategoryShell) {
        Json shells = Json::object();
        for (const ShellEntry& shell : r.shells) shells[FormatId(shell.id)] = shell.name;
        json["shells"] = std::move(shells);
    }
    return json;
}

Entry EntryFromJson(const Json& json) {
    if (!json.is_object()) throw DatabaseError("database entry is not an object");
    Entry entry;
    entry.path = Text(json, "(without a path)", "path");
    const std::string& where = entry.path;
    if (json.contains("shellId")) {
        entry.isSubPlugin = true;
        entry.shellId = Id(json, where, "shellId");
    }
    entry.stamp.size = Member(json, where, "size", Json::value_t::number_unsigned).get<uint64_t>();
    if (!ParseFileTime(Text(json, where, "lastWrite"), entry.stamp.lastWrite))
        Malformed(where, "member \"lastWrite\" is not a time like 2024-03-07T14:05:09.0000000Z");
    if (!ParseStatus(Text(json, where, "status"), entry.status)) Malformed(where, "member \"status\" is unknown");
    entry.error = Text(json, where, "error");
    entry.dump = Text(json, where, "dump");
    entry.scanTime = Text(json, where, "scanTime");
    entry.scanSeconds = Member(json, where, "scanSeconds", Json::value_t::number_float).get<double>();
    ScanRecord& r = entry.record;
    r.id = Id(json, where, "id");
    r.name = Text(json, where, "name");
    r.vendor = Text(json, where, "vendor");
    r.product = Text(json, where, "product");
    r.version = Text(json, where, "version");
    r.error = entry.status == EStatus::Failed ? entry.error : std::string();
    r.numInputs = Int32(json, where, "numInputs");
    r.numOutputs = Int32(json, where, "numOutputs");
    r.wantsMidi = Flag(json, where, "wantsMidi");
    r.sendsMidi = Flag(json, where, "sendsMidi");
    r.platform = Text(json, where, "platform");
    r.audio64 = Flag(json, where, "audio64");
    r.category = Int32(json, where, "category");
    r.synthEdit = Flag(json, where, "synthEdit");
    if (r.category == kCategoryShell) {
        const Json& shells = Member(json, where, "shells", Json::value_t::object);
        for (const auto& [key, name] : shells.items()) {
            ShellEntry shell;
            if (!ParseId(key, shell.id)) Malformed(where, "a key of \"shells\" is not eight hexadecimal digits");
            if (!name.is_string()) Malformed(where, "a name in \"shells\" is not a string");
            shell.name = name.get<std::string>();
            r.shells.push_back(std::move(shell));
        }
    } else if (json.contains("shells")) {
        Malformed(where, "member \"shells\" is present although the category is not 10");
    }
    return entry;
}

Database Database::FromJson(const Json& json) {
    if (!json.is_object() || !json.contains("format") || json["format"] != kFormat || !json.contains("plugins") ||
        !json["plugins"].is_object())
        throw DatabaseError("not a scanhost database (format 1 with a \"plugins\" object)");
    Database database;
    for (const auto& [key, value] : json["plugins"].items()) {
        Entry entry = EntryFromJson(value);
        if (FoldedKey(key) != FoldedKey(entry.path, entry.isSubPlugin, entry.shellId))
            throw DatabaseError("database entry " + key + ": the key does not match its path");
        database.Put(std::move(entry));
    }
    return database;
}

Json Database::ToJson(const std::function<bool(const Entry&)>& include) const {
    Json plugins = Json::object();
    for (const auto& item : m_entries)
        if (!include || include(item.second)) plugins[item.second.Key()] = EntryToJson(item.second);
    Json json;
    json["format"] = kFormat;
    json["plugins"] = std::move(plugins);
    return json;
}

Database Database::Load(const std::wstring& file) {
    std::ifstream in(file.c_str(), std::ios::binary);
    if (!in) {
        if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) return Database();
        throw DatabaseError("cannot read the database " + ToUtf8(file));
    }
    std::stringstream text;
    text << in.rdbuf();
    try {
        return FromJson(Json::parse(text.str()));
    } catch (const nlohmann::json::exception& error) {
        throw DatabaseError("the database " + ToUtf8(file) + " is not valid JSON: " + error.what());
    } catch (const DatabaseError& error) {
        throw DatabaseError(ToUtf8(file) + ": " + error.what());
    }
}

void Database::Save(const std::wstring& file) const {
    // Texts from plug-ins are valid UTF-8 by construction; replacing keeps a bad byte from
    // losing the whole database.
    std::string text = ToJson().dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::wstring temporary = file + L".tmp";
    {
        WinHandle out(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
        DWORD written = 0;
        if (!out.valid() || !WriteFile(out.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size() || !FlushFileBuffers(out.get()))
            throw DatabaseError("cannot write " + ToUtf8(temporary) + " (error " + std::to_string(GetLastError()) + ")");
    }
    if (!MoveFileExW(temporary.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        throw DatabaseError("cannot replace " + ToUtf8(file) + " (error " + std::to_string(GetLastError()) + ")");
}

const Entry* Database::Find(const std::string& key) const {
    auto it = m_entries.find(FoldedKey(key));
    return it == m_entries.end() ? nullptr : &it->second;
}

void Database::Put(Entry entry) {
    std::wstring key = FoldedKey(entry.path, entry.isSubPlugin, entry.shellId);
    m_entries[key] = std::move(entry);
}

void Database::RemoveModule(const std::string& path) {
    std::wstring module = FoldedKey(path, false, 0);
    m_entries.erase(module);
    std::wstring prefix = module + L">";
    for (auto it = m_entries.lower_bound(prefix); it != m_entries.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
        it = m_entries.erase(it);
}

std::vector<const Entry*> Database::SubPlugins(const std::string& path) const {
    std::vector<const Entry*> subs;
    std::wstring prefix = FoldedKey(path, false, 0) + L">";
    for (auto it = m_entries.lower_bound(prefix); it != m_entries.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
        subs.push_back(&it->second);
    return subs;
}

size_t Database::RemoveMissingFiles() {
    size_t removed = 0;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        FileStamp stamp;
        if (ReadFileStamp(FromUtf8(it->second.path), stamp)) {
            ++it;
        } else {
            it = m_entries.erase(it);
            ++removed;
        }
    }
    return removed;
}

DatabaseLock::DatabaseLock(const std::wstring& databaseFile) {
    std::wstring name = databaseFile + L".lock";
    m_file.reset(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!m_file.valid()) {
        DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION)
            throw DatabaseError("the database " + ToUtf8(databaseFile) + " is in use by another scanhost");
        throw DatabaseError("cannot create " + ToUtf8(name) + " (error " + std::to_string(error) + ")");
    }
}

}  // namespace ScanHost
